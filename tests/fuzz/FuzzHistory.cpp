// history.json: a list that reads writes back unchanged, element for element. The streamed reader
// (whole and in small chunks) agrees with nlohmann's document tree of the same text, and what the
// streamed writer writes is the tree writer's form.
#include "FuzzSupport.h"
#include "Models/BackupSnapshot.h"
#include "Services/SnapshotStore.h"
#include "SnapshotTree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace velkaro;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    fuzz::check(fuzz::syntaxAgrees(input), "pull reader and tree parser differ on the syntax", input);
    const auto list = decodeSnapshotList(input);
    fuzz::check(fuzz::chunkedDecode(input, 3) == list, "chunked reading differs", input);
    if (!list)
        return 0;
    const auto tree = Json::parse(input);
    fuzz::check(tree && fuzz::agreesWithTree(*list, *tree), "streamed reader and tree differ", input);
    for (const auto &snapshot : *list) {
        if (SnapshotStore::isSafeSnapshotId(snapshot.id))
            fuzz::check(fuzz::staysBelow(snapshot.id), "unsafe id taken for safe", input);
    }
    const std::string written = encodeSnapshotList(*list);
    fuzz::check(Json::encodePretty(*Json::parse(written)) == written, "streamed and tree writers differ", input);
    const auto reread = decodeSnapshotList(written);
    fuzz::check(reread == list, "history changes across a save", input);
    fuzz::check(encodeSnapshotList(*reread) == written, "history text unstable", input);
    return 0;
}
