// templates.json: a library that reads writes back unchanged; an allowed target name stays in its folder.
#include "FuzzSupport.h"
#include "Models/PromptTemplate.h"
#include "Services/TemplateService.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace velkaro;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto list = decodeTemplateList(input);
    if (!list)
        return 0;
    for (const auto &tmpl : *list) {
        // Control characters other than NUL are legal in a file name the user picks.
        if (TemplateService::isAllowedTargetFileName(tmpl.targetFileName))
            fuzz::check(fuzz::staysBelow(tmpl.targetFileName, true), "target name leaves its folder", input);
    }
    const std::string written = encodeTemplateList(*list);
    const auto reread = decodeTemplateList(written);
    fuzz::check(reread == list, "templates change across a save", input);
    fuzz::check(encodeTemplateList(*reread) == written, "templates text unstable", input);
    return 0;
}
