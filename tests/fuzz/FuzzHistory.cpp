// history.json: a list that reads writes back unchanged, element for element. The streamed reader
// (whole and in small chunks) and writer agree with the document-tree ones on every input.
#include "FuzzSupport.h"
#include "Models/BackupSnapshot.h"
#include "Platform/JsonReader.h"

#include "Services/BackupService.h"
#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace velkaro;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto list = decodeSnapshotList(input);
    fuzz::check(list == Json::decodeArray<BackupSnapshot>(input), "streamed and tree readers differ", input);
    std::size_t at = 0;
    Json::JsonReader chunked(
        [&](char *buffer, std::size_t room) -> std::ptrdiff_t {
            const std::size_t n = std::min({room, std::size_t(3), input.size() - at});
            std::copy_n(input.data() + at, n, buffer);
            at += n;
            return static_cast<std::ptrdiff_t>(n);
        },
        3);
    fuzz::check(decodeSnapshotList(chunked) == list, "chunked reading differs", input);
    fuzz::accepted() = list.has_value();
    if (!list)
        return 0;
    for (const auto &snapshot : *list) {
        if (BackupService::isSafeSnapshotId(snapshot.id))
            fuzz::check(fuzz::staysBelow(snapshot.id), "unsafe id taken for safe", input);
    }
    const std::string written = encodeSnapshotList(*list);
    fuzz::check(written == Json::encodeArray(*list), "streamed and tree writers differ", input);
    const auto reread = decodeSnapshotList(written);
    fuzz::check(reread == list, "history changes across a save", input);
    fuzz::check(encodeSnapshotList(*reread) == written, "history text unstable", input);
    return 0;
}
