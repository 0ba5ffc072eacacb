// history.json: a list that reads writes back unchanged, element for element.
#include "FuzzSupport.h"
#include "Models/BackupSnapshot.h"
#include "Services/BackupService.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace velkaro;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto list = decodeSnapshotList(input);
    fuzz::accepted() = list.has_value();
    if (!list)
        return 0;
    for (const auto &snapshot : *list) {
        if (BackupService::isSafeSnapshotId(snapshot.id))
            fuzz::check(fuzz::staysBelow(snapshot.id), "unsafe id taken for safe", input);
    }
    const std::string written = encodeSnapshotList(*list);
    const auto reread = decodeSnapshotList(written);
    fuzz::check(reread == list, "history changes across a save", input);
    fuzz::check(encodeSnapshotList(*reread) == written, "history text unstable", input);
    return 0;
}
