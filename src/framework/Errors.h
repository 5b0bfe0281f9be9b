// Korvane's exception classes: every failure is an exception carrying a message text.
// EModule and its kin belong to the patch framework; the assertion failure marks broken invariants.
#pragma once

#include <QString>
#include <exception>
#include <string>

// Base of every Korvane exception. Thread-safe to throw from the tick thread.
class Exception : public std::exception {
public:
    explicit Exception(const QString &message) : FMessage(message.toStdString()) {}
    const char *what() const noexcept override { return FMessage.c_str(); }
    QString Message() const { return QString::fromStdString(FMessage); }
    // Puts `text` in front of the message (a file and line, an object and property) and keeps
    // the exception's class, so that `throw;` afterwards still reaches handlers by kind.
    void Prepend(const QString &text) { FMessage.insert(0, text.toStdString()); }

private:
    std::string FMessage;
};

#define KOR_DECLARE_EXCEPTION(Name, Base)                       \
    class Name : public Base {                                  \
    public:                                                     \
        using Base::Base;                                       \
    };

KOR_DECLARE_EXCEPTION(EModule, Exception)
KOR_DECLARE_EXCEPTION(EBounds, EModule)
KOR_DECLARE_EXCEPTION(ECorruptPatch, EModule)
KOR_DECLARE_EXCEPTION(EInvalidName, EModule)
KOR_DECLARE_EXCEPTION(EIntOverflow, Exception)
KOR_DECLARE_EXCEPTION(EZeroDivide, Exception)
KOR_DECLARE_EXCEPTION(EComponentError, Exception)
KOR_DECLARE_EXCEPTION(EClassNotFound, Exception)
KOR_DECLARE_EXCEPTION(EAssertionFailed, Exception)
KOR_DECLARE_EXCEPTION(EStreamError, Exception)  // malformed patch text or object stream
KOR_DECLARE_EXCEPTION(EConvertError, Exception) // text that is not a number

// A file that cannot be created, opened or written. Errors of the file writer also carry the
// file's name as given and the system's reason, so a caller can word its own message.
class EFileError : public Exception {
public:
    using Exception::Exception;
    EFileError(const QString &message, const QString &path, const QString &reason);
    const QString &Path() const { return FPath; }
    const QString &Reason() const { return FReason; }

private:
    QString FPath, FReason;
};

// Raises EAssertionFailed with "text (Modules, line N)": an inconsistency inside the
// framework that must never happen. Nothing in the framework catches it.
[[noreturn]] void AssertionFailure(const QString &text, int line);
#define KOR_FAIL(text) ::AssertionFailure((text), __LINE__)

// Nothing when Lo <= Value <= Hi; else an assertion failure with the message
// "Where : Parameter ParamName (Value) out of bounds [Lo,Hi]".
void CheckBounds(int Value, int Lo, int Hi, const QString &Where, const QString &ParamName);
