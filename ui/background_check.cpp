#include "ui/background_check.h"

#include <QMetaObject>
#include <exception>
#include <thread>
#include <vector>

#include "platform/text.h"

namespace signposter::ui {

namespace {

// Every check's thread until it is joined; the GUI thread only joins those that have ended.
struct CheckThread {
    std::thread thread;
    std::shared_ptr<platform::StopRequest> stop;
    std::shared_ptr<const std::atomic<bool>> ended;
};
void CancelAndJoin(std::vector<CheckThread>& threads) {
    for (CheckThread& check : threads) {
        check.stop->Request();
        check.thread.join();
    }
    threads.clear();
}

// A program that never called JoinAll (a test) still joins them as it ends.
struct CheckThreads {
    ~CheckThreads() { CancelAndJoin(threads); }
    std::mutex lock;
    std::vector<CheckThread> threads;  // under lock
};
CheckThreads g_checks;

}  // namespace

void BackgroundCheck::JoinAll() {
    std::vector<CheckThread> threads;
    {
        const std::lock_guard lock(g_checks.lock);
        threads.swap(g_checks.threads);
    }
    CancelAndJoin(threads);
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
        // Posted while the owner cannot go away (its Cancel takes the same lock); once posted, Qt drops
        // the call if the owner is destroyed before it runs.
        const std::lock_guard lock(job->mutex);
        if (BackgroundCheck* owner = job->owner) {
            QMetaObject::invokeMethod(
                owner,
                [owner, job, result] {
                    if (job != owner->m_job)
                        return;  // cancelled after the post
                    owner->m_job.reset();
                    emit owner->Finished(result);
                },
                Qt::QueuedConnection);
        }
        job->ended.store(true);
    });
    const std::lock_guard lock(g_checks.lock);
    // Those that have ended are joined now, so that a dialog used all day keeps no threads.
    std::vector<CheckThread>& threads = g_checks.threads;
    for (auto it = threads.begin(); it != threads.end();) {
        if (it->ended->load()) {
            it->thread.join();
            it = threads.erase(it);
        } else {
            ++it;
        }
    }
    threads.push_back({std::move(thread), std::shared_ptr<platform::StopRequest>(job, &job->stop),
                         std::shared_ptr<const std::atomic<bool>>(job, &job->ended)});
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
