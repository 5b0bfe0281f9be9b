#include "Instance.h"

#include "Dialogs.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
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

// The user of the process at the other end of a connected local socket, as the kernel tells it.
std::optional<uid_t> PeerUser(qintptr descriptor)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (descriptor < 0 || ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
}

// Why `folder` cannot hold the channel of `user`, or empty: it must be a real folder (a symbolic
// link could be swapped for another user's folder), the user's own, and `forbidden` names the
// permission bits nobody else may have.
QString FolderFault(const QString &folder, uid_t user, mode_t forbidden)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
        return QStringLiteral("\"%1\" cannot be examined: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
    if (S_ISLNK(info.st_mode))
        return QStringLiteral("\"%1\" is a symbolic link").arg(folder);
    if (!S_ISDIR(info.st_mode))
        return QStringLiteral("\"%1\" is not a folder").arg(folder);
    if (info.st_uid != user)
        return QStringLiteral("\"%1\" belongs to another user").arg(folder);
    if (info.st_mode & forbidden)
        return QStringLiteral("\"%1\" is open to other users (mode %2)").arg(folder).arg(info.st_mode & 07777, 4, 8, QChar(u'0'));
    return {};
}

} // namespace

TInstanceChannel::TInstanceChannel(QObject *parent) : QObject(parent), FServer(new QLocalServer(this))
{
    // Only this user may hand files to this user's Korvane.
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(FServer, &QLocalServer::newConnection, this, &TInstanceChannel::Accept);
}

QString TInstanceChannel::ChannelFolder(const QString &runtime, const QString &temp, uid_t user, QString *why)
{
    // A runtime folder others may write would let them put a listener of their own in its place.
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && FolderFault(runtime, user, S_IWGRP | S_IWOTH).isEmpty())
        return QDir::cleanPath(runtime);
    // In the shared temporary folder anybody may create the name first: what is there is only
    // taken when it is this user's alone.
    const QString own = QDir::cleanPath(temp + QStringLiteral("/korvane-%1").arg(user));
    QString fault;
    if (::mkdir(QFile::encodeName(own).constData(), 0700) != 0 && errno != EEXIST)
        fault = QStringLiteral("\"%1\" cannot be made: %2").arg(own, QString::fromLocal8Bit(std::strerror(errno)));
    else
        fault = FolderFault(own, user, S_IRWXG | S_IRWXO);
    if (fault.isEmpty())
        return own;
    if (why)
        *why = QStringLiteral("no folder of this user's own for the instance channel: %1").arg(fault);
    return {};
}

QString TInstanceChannel::ChannelName(QString *why)
{
    const QString folder = ChannelFolder(qEnvironmentVariable("XDG_RUNTIME_DIR"), QDir::tempPath(), ::getuid(), why);
    if (folder.isEmpty())
        return {};
    return QDir(folder).filePath(QStringLiteral("Korvane7_AppEntry-%1").arg(::getuid()));
}

bool TInstanceChannel::HandOver(const QString &firstArgument, const QString &channelName, uid_t owner, QString *refusal)
{
    if (channelName.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(channelName);
    if (!socket.waitForConnected(ConnectWait))
        return false;
    // The full name of the user's file goes only to a Korvane of the same user.
    const std::optional<uid_t> peer = PeerUser(socket.socketDescriptor());
    if (peer != owner) {
        if (refusal)
            *refusal = peer ? QStringLiteral("the process listening on %1 belongs to user %2, not to this user")
                                  .arg(channelName)
                                  .arg(*peer)
                            : QStringLiteral("the process listening on %1 cannot be identified").arg(channelName);
        socket.abort();
        return false;
    }
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
    if (channelName.isEmpty()) {
        FErrorString = QStringLiteral("there is no channel to listen on");
        return false;
    }
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
        if (PeerUser(client->socketDescriptor()) != FPeerOwner) {
            client->abort(); // another user's process: nothing it sends is read
            client->deleteLater();
            continue;
        }
        // A start sends its message at once: one that stalls is not waited for.
        auto *patience = new QTimer(client);
        patience->setObjectName(QStringLiteral("ReceiveTimeout"));
        patience->setSingleShot(true);
        connect(patience, &QTimer::timeout, client, [client] {
            client->abort();
            client->deleteLater();
        });
        patience->start(FReceiveTimeout);
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
    delete client->findChild<QTimer *>(QStringLiteral("ReceiveTimeout"), Qt::FindDirectChildrenOnly);
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
    // Answered first: opening the file may take long or show a box (a file that cannot be
    // read), and the waiting start has nothing more to do either way.
    client->write(&Handled, 1);
    client->flush();
    client->disconnectFromServer();
    if (keep) {
        FPending << file;
        return;
    }
    const QString failure = Deliver(file);
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
