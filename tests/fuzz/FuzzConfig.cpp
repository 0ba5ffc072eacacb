// config.json: a document that reads must write back into the same settings, byte for byte stable.
#include "FuzzSupport.h"
#include "Models/BackupConfig.h"
#include "Platform/JsonCoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace velkaro;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto config = BackupConfig::decode(input);
    if (!config)
        return 0;
    for (const auto &source : config->sourceDirectories)
        fuzz::check(source.find('\0') == std::string::npos, "source folder with a NUL", input);
    fuzz::check(config->destinationDirectory.find('\0') == std::string::npos, "destination with a NUL", input);
    const std::string written = Json::encodePretty(config->toJson());
    const auto reread = BackupConfig::decode(written);
    fuzz::check(reread == config, "config changes across a save", input);
    fuzz::check(Json::encodePretty(reread->toJson()) == written, "config text unstable", input);
    return 0;
}
