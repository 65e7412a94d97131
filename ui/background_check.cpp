#include "ui/background_check.h"

#include <QMetaObject>
#include <exception>
#include <thread>
#include <vector>

#include "platform/joined_threads.h"
#include "platform/text.h"

namespace signposter::ui {

void BackgroundCheck::JoinAll() {
    // The look-ups the checks gave up on are joined with them.
    platform::JoinedThreads::Program().JoinAll();
}

BackgroundCheck::~BackgroundCheck() {
    Cancel();
}

void BackgroundCheck::Start(Work work) {
    Cancel();
    auto job = std::make_shared<Job>();
    job->owner = this;
    m_job = job;
    std::thread thread([job, work = std::move(work)] {
        CheckResult result;
        try {
            result = work(job->clock, job->stop);
        } catch (const std::exception& error) {
            result.ok = false;
            result.text = text::Printable(text::OneLine(error.what()));
        }
        // The result waits in the job, under its lock, and only a bare wake goes through Qt's queue: what
        // crosses between the threads then does so under a lock ThreadSanitizer sees. Posted while the owner
        // cannot go away (its Cancel takes the same lock); Qt drops the call if the owner is destroyed first.
        const std::lock_guard lock(job->mutex);
        job->result = std::move(result);
        if (BackgroundCheck* owner = job->owner)
            QMetaObject::invokeMethod(owner, "Deliver", Qt::QueuedConnection);
        job->ended.store(true);
    });
    // Joined once it has ended (the GUI thread never waits for a running one), or as the program ends.
    platform::JoinedThreads::Program().Add(std::move(thread),
                                           std::shared_ptr<const std::atomic<bool>>(job, &job->ended),
                                           [job] { job->stop.Request(); });
}

void BackgroundCheck::Deliver() {
    if (!m_job)
        return;  // cancelled after the post
    std::optional<CheckResult> result;
    {
        const std::lock_guard lock(m_job->mutex);
        result.swap(m_job->result);
    }
    if (!result)
        return;  // a cancelled check's wake, arriving while a newer check runs
    m_job.reset();
    emit Finished(*result);
}

void BackgroundCheck::Cancel() {
    if (!m_job)
        return;
    m_job->stop.Request();
    {
        const std::lock_guard lock(m_job->mutex);
        m_job->owner = nullptr;
    }
    m_job.reset();
}

}  // namespace signposter::ui
