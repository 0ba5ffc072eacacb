// snapshot.json: a record that reads writes back unchanged; a safe id or path never leaves its folder.
// The streamed reader and writer agree with the document-tree ones on every input.
#include "FuzzSupport.h"
#include "Models/BackupSnapshot.h"
#include "Platform/Formatters.h"
#include "Platform/JsonCoding.h"
#include "Services/BackupService.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace velkaro;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto snapshot = BackupSnapshot::decode(input);
    fuzz::check(snapshot == Json::decodeObject<BackupSnapshot>(input), "streamed and tree readers differ", input);
    fuzz::accepted() = snapshot.has_value();
    if (!snapshot)
        return 0;
    if (BackupService::isSafeSnapshotId(snapshot->id))
        fuzz::check(fuzz::staysBelow(snapshot->id), "unsafe id taken for safe", input);
    for (const auto &path : snapshot->relativeFilePaths) {
        if (BackupService::isSafeRelativePath(path))
            fuzz::check(fuzz::staysBelow(path), "unsafe recorded path taken for safe", input);
    }
    (void)snapshot->formattedDate();
    (void)snapshot->formattedSize();
    const std::string written = snapshot->encode();
    fuzz::check(written == Json::encodePretty(snapshot->toJson()), "streamed and tree writers differ", input);
    const auto reread = BackupSnapshot::decode(written);
    fuzz::check(reread == snapshot, "snapshot changes across a save", input);
    fuzz::check(reread->encode() == written, "snapshot text unstable", input);
    return 0;
}
