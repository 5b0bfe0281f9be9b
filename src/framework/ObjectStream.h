// The object stream: components with their published properties and children, in a binary
// form (temporary files, clipboard) and the text form of patch files, and conversions between.
#pragma once

#include "Component.h"

#include <QByteArray>
#include <QVariant>

// Property values a stream carries: int (32-bit), bool, QString, or a QVariantList of these.
// User-interface thread; one writer per stream.
class TStreamWriter {
public:
    void WriteProperty(const QString &name, const QVariant &value);

private:
    friend QByteArray WriteComponent(const TComponent &);
    explicit TStreamWriter(QByteArray &out) : FOut(out) {}
    void WriteObject(const TComponent &c);
    void WriteValue(const QVariant &v, int depth);
    QByteArray &FOut;
};

// The binary form of `root` with its published properties (declaration order, base class
// first), its defined properties and its streamed children.
QByteArray WriteComponent(const TComponent &root);

// Reads the binary form. With `root` given, the stream's top object is read into it (its class
// must be the stream's class or derive from it); otherwise the top object is created from its
// class name, owned by `owner`. Children are created by class name through the registry and
// renamed to their stored names; properties go through their setters. Raises EClassNotFound
// for an unregistered class and EStreamError for anything malformed; a top object created
// here is freed again when reading fails. Integer properties that the root does not know
// are ignored (placement lines of earlier versions).
TComponent *ReadComponent(const QByteArray &binary, TComponent *root, TComponent *owner = nullptr);

// Binary form -> patch text: "object Name: Class" headers, two blanks per level, CR LF line ends.
QByteArray ObjectBinaryToText(const QByteArray &binary);
// Patch text (CR LF or LF line ends) -> binary form; EStreamError names the line at fault.
QByteArray ObjectTextToBinary(const QByteArray &text);
