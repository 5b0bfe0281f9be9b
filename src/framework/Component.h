// The component base: an owned tree of named QObjects with two-phase creation,
// explicit destruction with owner notifications, and a factory by class name for the patch reader.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

class TComponent;

enum class TOperation { Insert, Remove };

// A class reference: what the class registry maps a class name to. Class names are the
// meta-object's names (TKorConstant ...), which patch files store.
struct TComponentClass {
    const QMetaObject *Meta;
    TComponent *(*Make)(); // constructs without owner; null for abstract classes

    QString Name() const { return QString::fromLatin1(Meta->className()); }
    bool InheritsFrom(const QMetaObject &base) const { return Meta->inherits(&base); }
};

// A component: owner = QObject parent, children = the components it owns in the order they
// joined, name = objectName (unique among siblings regardless of case; empty never clashes).
// Only components are children of components. User-interface thread only, except where a
// subclass says otherwise. Never created with a bare new (use Create<T>) nor deleted directly
// (use Free).
class TComponent : public QObject {
    Q_OBJECT
public:
    TComponent() = default;
    ~TComponent() override;

    TComponent *Owner() const { return static_cast<TComponent *>(parent()); }
    int ComponentCount() const { return int(children().size()); }
    TComponent *Components(int i) const { return static_cast<TComponent *>(children().at(i)); }
    int ComponentIndex() const; // position among the owner's children; -1 without owner

    QString Name() const { return objectName(); }
    // Renames; raises EComponentError when the name is not an identifier or a sibling
    // already carries it (compared without regard to case).
    void SetName(const QString &name);
    // A direct child by name, without regard to case; null for an empty name.
    TComponent *FindComponent(const QString &name) const;
    // base + the lowest number n >= 0 that no child carries ("Sine0", "Sine1" ...).
    QString FirstFreeName(const QString &base) const;

    QString ClassName() const { return QString::fromLatin1(metaObject()->className()); }
    bool IsDestroying() const { return FDestroying; }

    // Second phase of creation: runs once the component is inserted into its owner, so
    // virtual calls reach the complete class. Holds naming, defaults and building children.
    virtual void Init() {}

    // Streaming hooks of the object stream (patch files, clipboard).
    // Whether the writer stores this published property now (all are, by default).
    virtual bool IsStored(const char *property) const { return property != nullptr; }
    // The children written with this component, in order; all of them by default.
    virtual QList<TComponent *> StreamedChildren() const;
    // Whether a child of class `cls` read from a stream belongs here: only what this
    // component would write back may be read, never something a save would drop. Any class
    // by default.
    virtual bool AcceptsStreamedChild(const TComponentClass &) const { return true; }
    // Properties beyond the published ones, written after them.
    virtual void WriteDefinedProperties(class TStreamWriter &) const {}
    // Takes a property the meta-object does not know; false when it is not one of ours.
    // `elementLines`: for a list read from patch text, the line of each element (else empty).
    virtual bool ReadDefinedProperty(const QString &, const class QVariant &, std::span<const int32_t> elementLines = {})
    {
        (void)elementLines;
        return false;
    }
    // Called for every component of a tree once the whole tree has been read.
    virtual void Loaded() {}

    // Joins `child` (which must have no owner) to this component's children and notifies.
    void InsertComponent(TComponent *child);
    // Notifies, then detaches `child` without destroying it.
    void RemoveComponent(TComponent *child);
    // Puts children at the given positions among the children (stream order), silently: an
    // undone deletion puts its modules back where they were, so the patch is written as
    // before. Positions are those in the final order; one pass, however many children move.
    void MoveComponents(std::vector<std::pair<TComponent *, int>> moves);

protected:
    // Told when a child joins (after it is constructed, before its Init) or leaves
    // (while its type is still complete).
    virtual void Notification(TComponent *child, TOperation operation);
    // First step of Free, while the whole object is intact.
    virtual void BeforeDestruction() {}

private:
    friend void Free(TComponent *);
    friend void FreeComponents(const std::vector<TComponent *> &);
    friend void Dismantle(TComponent *);
    void Unindex(TComponent *child);
    bool FDestroying = false;
    // Names compare without regard to case; component names are ASCII identifiers, so this
    // needs no case folding (and no allocation) to hash or compare.
    struct TNameHash {
        size_t operator()(QStringView name) const noexcept;
    };
    struct TNameEqual {
        bool operator()(QStringView a, QStringView b) const noexcept
        {
            return a.compare(b, Qt::CaseInsensitive) == 0;
        }
    };
    // Owners of many children (a sheet of ten thousand modules) find a name by hash, so that
    // naming a new module costs the same on a large sheet as on a small one; the small ones
    // (a module's dozen details) search their children and keep no index at all.
    struct TNameIndex {
        std::unordered_map<QString, TComponent *, TNameHash, TNameEqual> Named;
        // Per base: every base + n below this number is taken, so naming the thousandth
        // "Sine" does not try the 999 names before it again.
        std::unordered_map<QString, int, TNameHash, TNameEqual> FreeFrom;
    };
    static constexpr int IndexFrom = 32; // children
    std::unique_ptr<TNameIndex> FIndex;
    void IndexIfLarge();
};

// Destroys a component: BeforeDestruction, its children last-first, the owner's Remove
// notification, then the object itself. Null is allowed.
void Free(TComponent *c);
// Frees several children of one owner, as Free on each in the given order would; their objects
// are deleted afterwards in child order, which a long child list (a sheet's modules) detaches
// in constant time each.
void FreeComponents(const std::vector<TComponent *> &components);

// Inserts `c` into `owner` (when given) and runs Init; frees `c` and rethrows if Init raises,
// as a half-built component is of no use to anybody.
void InitComponent(TComponent *c, TComponent *owner);

template <class T>
T *Create(TComponent *owner)
{
    static_assert(std::is_base_of_v<TComponent, T>);
    T *c = new T();
    InitComponent(c, owner);
    return c;
}

template <class T>
const TComponentClass &ClassOf()
{
    static const TComponentClass cls{&T::staticMetaObject, []() -> TComponent * {
                                         if constexpr (std::is_abstract_v<T>)
                                             return nullptr;
                                         else
                                             return new T();
                                     }};
    return cls;
}

// Two-phase creation from a class reference; raises EClassNotFound for abstract classes.
TComponent *CreateComponent(const TComponentClass &cls, TComponent *owner);

// The streaming class registry: class name -> class reference. Filled on the user-interface
// thread at start-up; registering a class twice is harmless.
void RegisterClass(const TComponentClass &cls);
const TComponentClass *FindClass(const QString &className); // null when unknown
// Raises EClassNotFound ("Class X not found") for an unknown name.
TComponent *CreateComponent(const QString &className, TComponent *owner);

// Owning pointer for root components (sheets without a slot, tests).
struct TFreeComponent {
    void operator()(TComponent *c) const { Free(c); }
};
template <class T>
using TOwned = std::unique_ptr<T, TFreeComponent>;
template <class T>
TOwned<T> CreateOwned()
{
    return TOwned<T>(Create<T>(nullptr));
}

// True for names a component may carry: a letter or "_", then letters, digits or "_".
bool IsValidIdent(const QString &name);
