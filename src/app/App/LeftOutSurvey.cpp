#include "App/LeftOutSurvey.h"

#include "App/Background.h"
#include "Services/SourceSelection.h"

#include <optional>

namespace velkaro {

LeftOutSurvey::LeftOutSurvey(std::chrono::milliseconds delay, QObject *parent)
    : QObject(parent)
{
    m_delay.setSingleShot(true);
    m_delay.setInterval(delay);
    connect(&m_delay, &QTimer::timeout, this, &LeftOutSurvey::start);
}

// A walk still running stops early; its result finds this object gone and is dropped.
LeftOutSurvey::~LeftOutSurvey()
{
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
    auto work = [sources = m_sources, extensions = m_extensions, excluded = m_excluded,
                    stop = m_running.get_token()]() -> std::optional<std::string> {
        SelectionOptions options;
        options.excludedFolder = excluded;
        options.stop = stop;
        const SourceSurvey survey = surveySources(sources, extensions, options);
        if (survey.report.stopped)
            return std::nullopt;
        return survey.leftOutSummary();
    };
    runThenCallback(this, std::move(work), [this, generation = m_generation](std::optional<std::string> summary) {
        if (summary)
            finish(generation, std::move(*summary));
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
