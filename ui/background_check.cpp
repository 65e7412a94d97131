#include "ui/background_check.h"

#include <QMetaObject>
#include <exception>
#include <thread>

#include "platform/text.h"

namespace signposter::ui {

BackgroundCheck::~BackgroundCheck() {
    Cancel();
}

void BackgroundCheck::Start(Work work) {
    Cancel();
    auto job = std::make_shared<Job>();
    job->owner = this;
    m_job = job;
    std::thread([job, work = std::move(work)] {
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
    }).detach();
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
