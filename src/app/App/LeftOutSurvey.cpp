#include "App/LeftOutSurvey.h"

#include "Services/SourceSelection.h"

#include <QMetaObject>
#include <QThreadPool>

namespace velkaro {

// Lives on the main thread as the target of what a walk posts back; a walk holds it through a shared
// pointer, and once the survey is gone `owner` is null and the result is dropped.
class LeftOutSurvey::Receiver : public QObject
{
public:
    explicit Receiver(LeftOutSurvey *survey)
        : owner(survey)
    { }
    LeftOutSurvey *owner;
};

LeftOutSurvey::LeftOutSurvey(std::chrono::milliseconds delay, QObject *parent)
    : QObject(parent)
    , m_receiver(new Receiver(this), [](Receiver *receiver) { receiver->deleteLater(); })
{
    m_delay.setSingleShot(true);
    m_delay.setInterval(delay);
    connect(&m_delay, &QTimer::timeout, this, &LeftOutSurvey::start);
}

LeftOutSurvey::~LeftOutSurvey()
{
    m_receiver->owner = nullptr;
    m_running.request_stop();
}

void LeftOutSurvey::request(std::vector<std::string> sources, std::vector<std::string> extensions, std::string excluded)
{
    m_sources = std::move(sources);
    m_extensions = std::move(extensions);
    m_excluded = std::move(excluded);
    ++m_generation; // whatever runs now answers an older question
    m_running.request_stop();
    m_delay.start();
}

void LeftOutSurvey::start()
{
    m_running = std::stop_source();
    QThreadPool::globalInstance()->start(
        [receiver = m_receiver, generation = m_generation, sources = m_sources, extensions = m_extensions,
            excluded = m_excluded, stop = m_running.get_token()] {
            SelectionOptions options;
            options.excludedFolder = excluded;
            options.stop = stop;
            const SourceSurvey survey = surveySources(sources, extensions, options);
            if (survey.report.stopped)
                return;
            QMetaObject::invokeMethod(
                receiver.get(),
                [receiver, generation, summary = survey.leftOutSummary()]() mutable {
                    if (receiver->owner)
                        receiver->owner->finish(generation, std::move(summary));
                },
                Qt::QueuedConnection);
        });
}

void LeftOutSurvey::finish(unsigned generation, std::string summary)
{
    if (generation != m_generation || summary == m_summary)
        return;
    m_summary = std::move(summary);
    emit summaryChanged();
}

} // namespace velkaro
