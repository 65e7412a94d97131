#include "ui/background_check.h"

#include <QMetaObject>
#include <exception>

#include "platform/text.h"

namespace signposter::ui {

BackgroundCheck::~BackgroundCheck() {
    Cancel();
    for (auto& [job, thread] : m_threads) thread.join();
}

void BackgroundCheck::Start(Work work) {
    Cancel();
    ReapFinished();
    auto job = std::make_shared<Job>();
    m_job = job;
    std::thread thread([this, job, work = std::move(work)] {
        CheckResult result;
        try {
            result = work(job->clock, job->stop);
        } catch (const std::exception& error) {
            result.ok = false;
            result.text = text::Printable(text::OneLine(error.what()));
        }
        job->done = true;
        // Queued to the GUI thread; the destructor joins this thread before the object goes, and Qt drops
        // what is still queued for an object when it is destroyed.
        QMetaObject::invokeMethod(
            this,
            [this, job, result] {
                ReapFinished();
                if (job != m_job)
                    return;  // cancelled
                m_job.reset();
                emit Finished(result);
            },
            Qt::QueuedConnection);
    });
    m_threads.emplace_back(job, std::move(thread));
}

void BackgroundCheck::Cancel() {
    if (m_job) {
        m_job->stop.Request();
        m_job.reset();
    }
}

void BackgroundCheck::ReapFinished() {
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->first->done) {
            it->second.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace signposter::ui
