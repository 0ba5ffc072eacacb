// snapshot.json: a record that reads writes back unchanged; a safe id or path never leaves its folder.
// What the streamed reader takes agrees with nlohmann's document tree of the same text, and what the
// streamed writer writes is the tree writer's form.
#include "FuzzSupport.h"
#include "Models/BackupSnapshot.h"
#include "Platform/JsonCoding.h"
#include "Services/SnapshotStore.h"
#include "SnapshotTree.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using namespace velkaro;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    fuzz::check(fuzz::syntaxAgrees(input), "pull reader and tree parser differ on the syntax", input);
    const auto snapshot = BackupSnapshot::decode(input);
    if (!snapshot)
        return 0;
    const auto tree = Json::parse(input);
    fuzz::check(tree && fuzz::agreesWithTree(*snapshot, *tree), "streamed reader and tree differ", input);
    if (SnapshotStore::isSafeSnapshotId(snapshot->id))
        fuzz::check(fuzz::staysBelow(snapshot->id), "unsafe id taken for safe", input);
    for (const auto &path : snapshot->relativeFilePaths) {
        if (SnapshotStore::isSafeRelativePath(path))
            fuzz::check(fuzz::staysBelow(path), "unsafe recorded path taken for safe", input);
    }
    (void)snapshot->formattedDate();
    (void)snapshot->formattedSize();
    const std::string written = snapshot->encode();
    fuzz::check(Json::encodePretty(*Json::parse(written)) == written, "streamed and tree writers differ", input);
    const auto reread = BackupSnapshot::decode(written);
    fuzz::check(reread == snapshot, "snapshot changes across a save", input);
    fuzz::check(reread->encode() == written, "snapshot text unstable", input);
    return 0;
}
