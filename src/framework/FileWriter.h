// The one way Korvane writes a file: patch saves, renders, event logs, settings and temporary
// files all go through TFileWriter, so every output is either complete or not there at all.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

// Writes one output, whole or streamed in pieces, and puts it in place at Commit.
//
// What the name points at decides how:
// - a regular file, or nothing yet: the data goes to a new file beside it in the same folder,
//   which is flushed to the disk and renamed over the target at Commit; until then, and after
//   any failure, the previous file stays byte for byte as it was. A symbolic link is followed
//   to its final target, which is replaced; the link stays a link.
// - a character or block device, a FIFO or a socket: written directly and never replaced.
// - "/dev/stdout", "/dev/stderr", "/dev/fd/N", "/proc/self/fd/N": the process's own descriptor,
//   written directly (what a shell redirection or pipe set up stays as it is).
// Every failure raises EFileError naming the file as given and the system's reason:
// "Cannot create file ..." when it cannot be opened, "Cannot write file ..." afterwards; the
// writer is then discarded. Not copyable; one thread at a time. Writing to a FIFO whose reader
// is gone is a "Broken pipe" error, never a signal.
class TFileWriter {
public:
    enum class TAccess {
        Sequential, // bytes are only appended
        Overwrites, // Overwrite() will be called: a direct target gets everything at Commit
    };

    // Opens the target (a FIFO: waits, as any writer does, until a reader has it open).
    explicit TFileWriter(const QString &fileName, TAccess access = TAccess::Sequential);
    // Discards what was written unless Commit succeeded.
    ~TFileWriter();
    TFileWriter(const TFileWriter &) = delete;
    TFileWriter &operator=(const TFileWriter &) = delete;

    void Write(const char *data, size_t size);
    void Write(const QByteArray &data) { Write(data.constData(), size_t(data.size())); }
    // Replaces bytes already written, from `offset` on. Needs TAccess::Overwrites.
    void Overwrite(uint64_t offset, const char *data, size_t size);
    // Bytes written so far.
    uint64_t Size() const { return FSize; }

    // Writes what is buffered, makes it durable and puts the file in place. Once only.
    void Commit();
    // Drops what was written: a replacing writer removes its new file and leaves the target
    // as it was; a direct target keeps what already reached it. Never raises.
    void Discard() noexcept;

    const QString &FileName() const { return FFileName; }
    // Whether the target is written in place (a device, FIFO, socket or own descriptor).
    bool IsDirect() const { return FDirect; }

private:
    [[noreturn]] void Fail(const char *what, int error);
    void Flush();
    void WriteAll(int fd, const char *data, size_t size);
    void CopySpoolToTarget();

    QString FFileName;
    QByteArray FTarget;    // the final target after following symbolic links (replacing mode)
    QByteArray FTemporary; // the new file beside it while it is written (replacing mode)
    int FFd = -1;          // where Write goes: the new file, the direct target, or the spool
    int FTargetFd = -1;    // the direct target while a spool holds the data
    bool FDirect = false;
    bool FDone = false;
    uint64_t FSize = 0;
    std::vector<char> FBuffer; // what Write took and Flush has not yet written
};

// Writes `data` as the whole of fileName through a TFileWriter.
void WriteWholeFile(const QString &fileName, const QByteArray &data);
