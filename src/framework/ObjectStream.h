// The object stream: components with their published properties and children, in a binary
// form (temporary files, clipboard) and the text form of patch files, and conversions between.
#pragma once

#include "Component.h"

#include <QByteArray>
#include <QVariant>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <unordered_map>
#include <vector>

// A component tree as the binary form holds it, taken as values: each object's name and class,
// its property values (strings shared with the tree, never copied) and the nesting. It holds no
// pointer into the tree, so it may be encoded on any thread while the tree changes or is gone.
class TObjectSnapshot {
public:
    // The binary form: byte for byte what WriteComponent writes of the tree as it was taken.
    // Raises EStreamError for a value the stream cannot carry. Any thread.
    QByteArray Binary() const;

private:
    friend class TStreamWriter;
    enum class TKind : uint8_t { Object, Property, Children, End };
    struct TItem {
        TKind Kind;
        const char *Latin1 = nullptr; // a class or published property name (the meta-object's)
        QString Name;                 // an object's name, a defined property's name
        QVariant Value;
    };
    std::deque<TItem> FItems; // grows in blocks: taken in pieces under a lock, it never moves what it holds
};

// Property values a stream carries: int (32-bit), bool, QString, or a QVariantList of these.
// Records what a component writes into a snapshot. One thread, that of the tree.
class TStreamWriter {
public:
    void WriteProperty(const QString &name, const QVariant &value);
    // Between two steps of a long property: lets the taker of the snapshot pause (let go of a
    // lock a moment); the tree must read the same afterwards.
    void Breathe() const
    {
        if (*FBreathe)
            (*FBreathe)();
    }

private:
    friend TObjectSnapshot TakeSnapshot(const TComponent &, const std::function<void()> &);
    TStreamWriter(TObjectSnapshot &out, const std::function<void()> &breathe) : FOut(out), FBreathe(&breathe) {}
    void WriteObject(const TComponent &c);
    TObjectSnapshot &FOut;
    const std::function<void()> *FBreathe;
};

// The snapshot of `root` with its published properties (declaration order, base class first),
// its defined properties and its streamed children. `breathe`, when set, runs between two
// objects and between the steps of a long property (TStreamWriter::Breathe).
TObjectSnapshot TakeSnapshot(const TComponent &root, const std::function<void()> &breathe = {});

// The binary form of `root`: TakeSnapshot(root).Binary().
QByteArray WriteComponent(const TComponent &root);

// Where the items of a binary form stand in its patch text: the line of each object header
// and of each property, in the order the binary form holds them, and, for a property whose
// value is a list, the line of each of its elements, so that a fault in one cable line can be
// named by its line.
class TTextLines {
public:
    void clear()
    {
        FItems.clear();
        FElements.clear();
    }
    void push_back(int32_t line) { FItems.push_back(line); }
    size_t size() const { return FItems.size(); }
    int32_t operator[](size_t item) const { return FItems[item]; }
    // Notes the line of the next element of the list that the last item's property holds.
    void AddElement(int32_t line) { FElements[FItems.size() - 1].push_back(line); }
    // The lines of the elements of the list that item `item` holds; none for other values.
    std::span<const int32_t> Elements(size_t item) const
    {
        const auto it = FElements.find(item);
        return it == FElements.end() ? std::span<const int32_t>() : std::span<const int32_t>(it->second);
    }

private:
    std::vector<int32_t> FItems;
    std::unordered_map<size_t, std::vector<int32_t>> FElements;
};

// Reads the binary form. With `root` given, the stream's top object is read into it (its class
// must be the stream's class or derive from it); otherwise the top object is created from its
// class name, owned by `owner`. Children are created by class name through the registry and
// renamed to their stored names; properties go through their setters. Raises EClassNotFound
// for an unregistered class and EStreamError for anything malformed, including an object
// inside one that holds no such objects (AcceptsStreamedChild); a top object created here is
// freed again when reading fails. Integer properties that the root does not know are ignored
// (placement lines of earlier versions).
// Errors name what they concern: a property's "Error reading Object.Property: " comes first.
// With `lines` (from ObjectTextToBinary) every error instead starts with its line and the
// object or property: "12: Osc1.Top: Integer overflow", "14: Inner: Class TFoo not found";
// errors of setters and of Loaded keep their class. Costs one look-up per item.
TComponent *ReadComponent(const QByteArray &binary, TComponent *root, TComponent *owner = nullptr,
                          const TTextLines *lines = nullptr);

// Binary form -> patch text: "object Name: Class" headers, two blanks per level, CR LF line ends.
QByteArray ObjectBinaryToText(const QByteArray &binary);
// Patch text (CR LF or LF line ends) -> binary form. EStreamError names the line at fault:
// "'end' expected on line 3"; with `lines`, which receives the line of every item for
// ReadComponent, the line comes first instead: "3: 'end' expected".
QByteArray ObjectTextToBinary(const QByteArray &text, TTextLines *lines = nullptr);
