#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <stop_token>
#include <string>
#include <vector>

namespace velkaro {

// Counts, off the main thread, the files below the sources that an extension list leaves out. Requests
// that come one after another (typing) are gathered: only the last is walked, and a walk that a newer
// request overtakes is stopped and its result dropped, so the last request always has the last word.
class LeftOutSurvey : public QObject
{
    Q_OBJECT

public:
    explicit LeftOutSurvey(std::chrono::milliseconds delay = std::chrono::milliseconds(300), QObject *parent = nullptr);
    ~LeftOutSurvey() override;

    // Walks `sources` with `extensions` after the delay; the store folder `excluded` is not entered.
    void request(std::vector<std::string> sources, std::vector<std::string> extensions, std::string excluded);

    // The line of the last finished walk, "対象外: N 件 (...)", or empty when nothing is left out.
    const std::string &summary() const { return m_summary; }

signals:
    void summaryChanged();

private:
    void start();
    void finish(unsigned generation, std::string summary);

    QTimer m_delay;
    std::vector<std::string> m_sources;
    std::vector<std::string> m_extensions;
    std::string m_excluded;
    std::string m_summary;
    unsigned m_generation = 0;
    std::stop_source m_running;
};

} // namespace velkaro
