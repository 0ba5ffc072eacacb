#include "Services/AppState.h"

#include <QMetaObject>
#include <QThreadPool>

#include <cstdint>
#include <utility>

namespace velkaro {

// The detail pane's runs: a receiver on the main thread for what they post back, and a count per kind
// of request so that only the latest one's result is delivered.
class AppState::DetailRuns
{
public:
    class Context : public QObject
    {
    public:
        explicit Context(AppState *state)
            : owner(state)
        { }
        AppState *owner;
    };

    explicit DetailRuns(AppState *owner)
        // Deleted through the event loop: the last holder may be a pool thread.
        : context(new Context(owner), [](Context *c) { c->deleteLater(); })
    { }
    ~DetailRuns() { context->owner = nullptr; }

    // Runs `step(owner)` on the main thread, unless the owner is gone by then. Callable from any thread.
    template<class Step> static void post(const std::shared_ptr<Context> &context, Step step)
    {
        QMetaObject::invokeMethod(
            context.get(),
            [context, step = std::move(step)]() mutable {
                if (context->owner)
                    step(*context->owner);
            },
            Qt::QueuedConnection);
    }

    std::shared_ptr<Context> context;
    std::uint64_t comparison = 0;
    std::uint64_t fileDiff = 0;
};

AppState::DetailRuns &AppState::detailRuns()
{
    if (!m_detailRuns)
        m_detailRuns = std::make_shared<DetailRuns>(this);
    return *m_detailRuns;
}

void AppState::compareWithCurrentFiles(const BackupSnapshot &snapshot, ComparisonCompletion completion)
{
    DetailRuns &runs = detailRuns();
    const std::uint64_t ticket = ++runs.comparison;
    QThreadPool::globalInstance()->start(
        [context = runs.context, snapshot, config = m_config, ticket, completion = std::move(completion)]() mutable {
            auto comparison = velkaro::compareWithCurrentFiles(snapshot, config);
            DetailRuns::post(context,
                [ticket, comparison = std::move(comparison), completion = std::move(completion)](AppState &self) {
                    if (self.detailRuns().comparison == ticket && completion)
                        completion(comparison);
                });
        });
}

void AppState::diffWithCurrentFile(
    const BackupSnapshot &snapshot, const std::string &path, FileDiffCompletion completion)
{
    DetailRuns &runs = detailRuns();
    const std::uint64_t ticket = ++runs.fileDiff;
    QThreadPool::globalInstance()->start([context = runs.context, snapshot, path, config = m_config, ticket,
                                             completion = std::move(completion)]() mutable {
        auto diff = velkaro::diffWithCurrentFile(snapshot, config, path);
        DetailRuns::post(context, [ticket, diff = std::move(diff), completion = std::move(completion)](AppState &self) {
            if (self.detailRuns().fileDiff == ticket && completion)
                completion(diff);
        });
    });
}

void AppState::restoreFiles(
    const BackupSnapshot &snapshot, std::vector<std::string> paths, RestoreCompletion completion)
{
    // As a whole restore: refused, not queued, while our own backup or restore runs.
    if (isBusy() || m_backupState.isRunning()) {
        const std::string message = "復元エラー: バックアップ処理の実行中です";
        setStatusMessage(message);
        DetailRuns::post(detailRuns().context, [completion = std::move(completion), message](AppState &) {
            if (completion)
                completion(RestoreOutcome::failed, message);
        });
        return;
    }
    m_restoreRunning = true;
    QThreadPool::globalInstance()->start(
        [context = detailRuns().context, service = m_restoreService, snapshot, paths = std::move(paths),
            config = m_config, completion = std::move(completion)]() mutable {
            auto result = service->executeRestore(snapshot, config, paths, [&context](const std::string &text) {
                DetailRuns::post(context, [text](AppState &self) { self.setStatusMessage(text); });
            });
            DetailRuns::post(context, [result = std::move(result), completion = std::move(completion)](AppState &self) {
                self.finishRestore(result, completion);
            });
        });
}

} // namespace velkaro
