#include "Instance.h"

#include "Dialogs.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QtEndian>
#include <exception>
#include <unistd.h>

namespace {

const int ConnectWait = 1000; // ms; a running instance's socket accepts at once
const int AnswerWait = 10000; // ms; room for the running instance to open a large patch
const qint64 SizeBytes = 4;
const qint64 MaxNameBytes = 64 * 1024; // far beyond any path; more is not a hand-over
const char Handled = 'K';

QByteArray Message(const QString &file)
{
    const QByteArray name = file.toUtf8();
    QByteArray message(SizeBytes, '\0');
    qToBigEndian<quint32>(quint32(name.size()), message.data());
    return message + name;
}

// Whether something accepts connections on `channelName`, as a running instance does; a socket
// left behind by one that crashed refuses them.
bool Answers(const QString &channelName)
{
    QLocalSocket probe;
    probe.connectToServer(channelName);
    const bool live = probe.waitForConnected(ConnectWait);
    probe.abort();
    return live;
}

} // namespace

TInstanceChannel::TInstanceChannel(QObject *parent) : QObject(parent), FServer(new QLocalServer(this))
{
    // Only this user may hand files to this user's Korvane.
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, &TInstanceChannel::Accept);
}

QString TInstanceChannel::ChannelName()
{
    const QString name = QStringLiteral("Korvane7_AppEntry-%1").arg(::getuid());
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QDir(runtime).filePath(name);
    return name;
}

bool TInstanceChannel::HandOver(const QString &firstArgument, const QString &channelName)
{
    QLocalSocket socket;
    socket.connectToServer(channelName);
    if (!socket.waitForConnected(ConnectWait))
        return false;
    // The running instance has another working folder: only a full name means the same file there.
    socket.write(Message(firstArgument.isEmpty() ? QString() : QFileInfo(firstArgument).absoluteFilePath()));
    socket.flush();
    const QDeadlineTimer deadline(AnswerWait);
    while (socket.bytesAvailable() == 0 && socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired())
        socket.waitForReadyRead(int(deadline.remainingTime()));
    if (socket.bytesAvailable() > 0)
        return true;
    // No answer in time from an instance that still holds the connection: it has the name and
    // deals with it when it can, so this start must not become a second instance.
    return socket.state() == QLocalSocket::ConnectedState;
}

bool TInstanceChannel::Listen(const QString &channelName)
{
    FServer->close();
    FErrorString.clear();
    // Listening replaces a socket file that is in the way, even one a running instance still
    // listens on, so that one is asked first.
    if (Answers(channelName)) {
        FErrorString = QStringLiteral("Another Korvane already listens on %1").arg(channelName);
        return false;
    }
    QLocalServer::removeServer(channelName); // left by an instance that ended without closing it
    if (FServer->listen(channelName))
        return true;
    FErrorString = FServer->errorString();
    return false;
}

void TInstanceChannel::Accept()
{
    while (QLocalSocket *client = FServer->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] { Receive(client); });
        Receive(client); // the message may have come with the connection
    }
}

void TInstanceChannel::Receive(QLocalSocket *client)
{
    if (client->bytesAvailable() < SizeBytes)
        return;
    const QByteArray size = client->peek(SizeBytes);
    const quint32 nameBytes = qFromBigEndian<quint32>(size.constData());
    if (nameBytes > MaxNameBytes) {
        client->abort();
        client->deleteLater();
        return;
    }
    if (client->bytesAvailable() < SizeBytes + nameBytes)
        return;
    client->skip(SizeBytes);
    const QString file = QString::fromUtf8(client->read(nameBytes));
    disconnect(client, &QLocalSocket::readyRead, this, nullptr); // one hand-over per connection
    Serve(client, file);
}

void TInstanceChannel::Close()
{
    FServer->close();
}

void TInstanceChannel::SetHolding(bool hold)
{
    FHolding = hold;
    if (!hold)
        DeliverPending();
}

void TInstanceChannel::Serve(QLocalSocket *client, const QString &file)
{
    // Kept while held, and behind kept ones still being delivered, so the order stays.
    const bool keep = FHolding || FDelivering;
    if (keep)
        FPending << file;
    // The callbacks may run event loops (an error box) in which the waiting start gives up and
    // its connection goes away.
    const QPointer<QLocalSocket> waiting(client);
    const QString failure = keep ? QString() : Deliver(file);
    if (waiting) {
        waiting->write(&Handled, 1);
        waiting->disconnectFromServer();
    }
    // Shown only now: the second start is not kept waiting behind a box nobody has seen yet.
    if (!failure.isEmpty())
        Dialogs().ShowError(failure);
}

QString TInstanceChannel::Deliver(const QString &file)
{
    try {
        if (OnActivate)
            OnActivate();
        const QFileInfo info(file);
        if (OnOpenFile && !file.isEmpty() && info.isAbsolute() && info.isFile())
            OnOpenFile(file);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

void TInstanceChannel::DeliverPending()
{
    if (FDelivering)
        return; // the loop below takes what comes meanwhile
    FDelivering = true;
    // A box shown on the way runs an event loop: hand-overs that come then join the queue, and
    // a hold taken again there keeps the rest for later.
    while (!FHolding && !FPending.isEmpty()) {
        const QString failure = Deliver(FPending.takeFirst());
        if (!failure.isEmpty())
            Dialogs().ShowError(failure);
    }
    FDelivering = false;
}
