#include "ui/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "platform/text.h"

namespace signposter::ui {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
// A service that takes the call but never answers would otherwise hold its notice for D-Bus's own 25 s;
// a desktop shows a notice within milliseconds, so after this the balloon tells it instead.
constexpr int kReplyTimeoutMs = 5000;
// The notification's urgency hint: normal for the good news, critical for a failure, which then stays
// until the person has seen it.
constexpr unsigned char kNormal = 1;
constexpr unsigned char kCritical = 2;

// What a failure is about, without its time: the same failure at the next retry says nothing new.
std::optional<std::string> FailureKey(const PublicationOutcome& outcome) {
    using Kind = PublicationOutcome::Kind;
    if (outcome.kind != Kind::Failed && outcome.kind != Kind::SkippedUnreachable &&
        outcome.kind != Kind::Abandoned)
        return std::nullopt;
    return std::to_string(static_cast<int>(outcome.kind)) + (outcome.offline ? "o" : "a") +
           (outcome.verificationFailed ? "v" : "u") + '\n' + outcome.address + '\n' + outcome.errorMessage +
           '\n' + outcome.reason;
}

QString Sentence(const PublicationOutcome& outcome) {
    return QString::fromStdString(text::Printable(text::OneLine(DescribeOutcome(outcome))));
}

}  // namespace

std::optional<Notice> FailureMemory::Take(const PublicationOutcome& outcome) {
    if (outcome.kind == PublicationOutcome::Kind::Published) {
        if (!m_failure)
            return std::nullopt;
        m_failure.reset();
        return Notice{"Signposter: published again", Sentence(outcome), false};
    }
    std::optional<std::string> key = FailureKey(outcome);
    if (!key || key == m_failure)
        return std::nullopt;
    m_failure = std::move(key);
    const char* summary = outcome.kind == PublicationOutcome::Kind::SkippedUnreachable
                              ? "Signposter: address held back"
                          : outcome.verificationFailed ? "Signposter: page not verified"
                                                       : "Signposter: not published";
    return Notice{summary, Sentence(outcome), true};
}

DesktopNotifier::DesktopNotifier(Balloon balloon, QObject* parent)
    : QObject(parent), m_balloon(std::move(balloon)) {}

DesktopNotifier::~DesktopNotifier() {
    if (m_connector.joinable())
        m_connector.join();
}

void DesktopNotifier::Outcome(const PublicationOutcome& outcome, bool enabled) {
    if (!enabled)
        return;
    if (std::optional<Notice> notice = m_memory.Take(outcome))
        Send(*notice);
}

void DesktopNotifier::Send(const Notice& notice) {
    switch (m_bus) {
        case Bus::Connected:
            CallService(notice);
            return;
        case Bus::Absent:
            ShowBalloon(notice);
            return;
        case Bus::Connecting:
            m_waiting.push_back(notice);
            return;
        case Bus::Unknown:
            break;
    }
    m_waiting.push_back(notice);
    m_bus = Bus::Connecting;
    // Reaching the bus the first time is a synchronous exchange with the bus daemon (or, with no address
    // known, an attempt to launch one): done here, it would hold the window up. Only the first notice pays
    // for it, so a program whose publications all work never connects.
    // The answer comes back through an atomic and the thread's end; the wake-up is Qt's queued call by
    // name, which carries nothing of ours (Qt's queues live where the thread sanitizer cannot see).
    m_connector = std::thread([this] {
        m_connected.store(QDBusConnection::sessionBus().isConnected());
        QMetaObject::invokeMethod(this, "BusReached", Qt::QueuedConnection);
    });
}

void DesktopNotifier::BusReached() {
    m_connector.join();
    const bool connected = m_connected.load();
    m_bus = connected ? Bus::Connected : Bus::Absent;
    std::deque<Notice> waiting;
    waiting.swap(m_waiting);
    for (const Notice& notice : waiting) Send(notice);
}

void DesktopNotifier::CallService(const Notice& notice) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, "Notify");
    QVariantMap hints;
    hints.insert("urgency", QVariant::fromValue(notice.failure ? kCritical : kNormal));
    hints.insert("desktop-entry", QString("signposter"));
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout). The body may
    // be read as markup: a server's words in it are escaped. The good news replaces the failure it ends.
    call << QString("Signposter") << m_lastId << QString("signposter") << notice.summary
         << notice.body.toHtmlEscaped() << QStringList() << hints << -1;
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, notice](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<unsigned> reply = *done;
        if (reply.isError()) {
            ShowBalloon(notice);
            return;
        }
        m_lastId = notice.failure ? reply.value() : 0;
    });
    emit Delivered(notice, true);
}

void DesktopNotifier::ShowBalloon(const Notice& notice) {
    if (m_balloon)
        m_balloon(notice.summary, notice.body);
    emit Delivered(notice, false);
}

}  // namespace signposter::ui
