// snapshot.json: a record that reads writes back unchanged; a safe id or path never leaves its folder.
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
    const std::string written = Json::encodePretty(snapshot->toJson());
    const auto reread = BackupSnapshot::decode(written);
    fuzz::check(reread == snapshot, "snapshot changes across a save", input);
    fuzz::check(Json::encodePretty(reread->toJson()) == written, "snapshot text unstable", input);
    return 0;
}
