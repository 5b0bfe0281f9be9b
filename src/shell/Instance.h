// One Korvane per user session: the first start listens on a local socket, a later start hands
// its file over to it and ends.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <sys/types.h>
#include <unistd.h>

class QLocalServer;
class QLocalSocket;

// The running instance's end of the channel. User-interface thread only; the callbacks run on it
// from the event loop. Owns its server and the connections of starts being served.
//
// A hand-over is one message: a 32-bit big-endian byte count, then the absolute file name in
// UTF-8 (no bytes for "no file"). The running instance answers with one byte as soon as it has
// the whole message, then closes the connection and deals with the file.
//
// The names handed over are the user's own: the socket lives in a folder only the user can
// enter, and each end checks who the other is (the kernel's credentials of the connection), so
// neither another user's start nor another user's listener takes part.
class TInstanceChannel : public QObject {
    Q_OBJECT
public:
    explicit TInstanceChannel(QObject *parent = nullptr);

    // The folder for the channel of `user`: `runtime` (the session's XDG_RUNTIME_DIR) when it is
    // an absolute path to a real folder (not a symbolic link) that `user` owns and that neither
    // its group nor others may write; else `temp`/korvane-<user>, made with mode 0700 when
    // missing and taken only when it is a real folder of `user` with no access for anybody else.
    // Empty, with the reason in `why`, when neither will do.
    static QString ChannelFolder(const QString &runtime, const QString &temp, uid_t user, QString *why = nullptr);
    // The channel of this user session: a socket in ChannelFolder(XDG_RUNTIME_DIR, the temporary
    // folder, this user), made when missing; empty (with the reason in `why`) without one.
    static QString ChannelName(QString *why = nullptr);
    // Tries to hand `firstArgument` (may be empty; a relative name is taken from the current
    // folder) to a running instance and waits a bounded time for its answer. True when one took
    // it (the caller then exits with code 0), also when it is too busy to answer in time; false
    // when none runs or it went away without answering, and when the listener is not a process
    // of `owner`: then nothing is sent and `refusal` says why. Blocks; any thread.
    static bool HandOver(const QString &firstArgument, const QString &channelName = ChannelName(),
                         uid_t owner = ::getuid(), QString *refusal = nullptr);

    // Starts listening as the first instance. A socket left behind by an instance that ended
    // without closing it is removed; one that still answers is not. False (with ErrorString)
    // when listening fails, e.g. because another instance already listens, or when there is no
    // channel name.
    bool Listen(const QString &channelName = ChannelName());
    QString ErrorString() const { return FErrorString; }
    // Stops listening: a later start finds no running instance and becomes one itself.
    void Close();

    // While held (the window is not there yet, or boxes of its start are open), a hand-over is
    // answered at once and kept; releasing the hold delivers the kept ones in the order they
    // came, as if they came now. Not held at first.
    void SetHolding(bool hold);
    bool Holding() const { return FHolding; }
    int PendingCount() const { return int(FPending.size()); }

    // The user whose starts are served (this process's user); connections of others are dropped
    // unread.
    void SetPeerOwner(uid_t owner) { FPeerOwner = owner; }
    // How long a connection may take to send its whole message (5000 ms); one that stalls is
    // dropped, so that it holds nothing for long.
    void SetReceiveTimeout(int ms) { FReceiveTimeout = ms; }

    // Bring the main window to the front. Called for every hand-over, before OnOpenFile.
    std::function<void()> OnActivate;
    // Open `file` as a new slot; called only when the handed-over name is an existing file.
    // An exception it raises is shown in the standard error box once the start is answered.
    std::function<void(const QString &file)> OnOpenFile;

private:
    void Accept();
    void Receive(QLocalSocket *client);
    void Serve(QLocalSocket *client, const QString &file);
    // Activates and opens `file`; the error text of what failed, or empty.
    QString Deliver(const QString &file);
    void DeliverPending();

    QLocalServer *FServer = nullptr;
    QString FErrorString;
    uid_t FPeerOwner = ::getuid();
    int FReceiveTimeout = 5000;
    bool FHolding = false;
    bool FDelivering = false;
    QStringList FPending; // handed over while held or while earlier ones are being delivered
};
