#include "Component.h"

#include "Errors.h"

#include <QHash>
#include <QSet>
#include <unordered_map>
#include <algorithm>
#include <bit>

TComponent::~TComponent()
{
    // Reached without Free only when the QObject tree deletes us; children still go last-first.
    FDestroying = true;
    while (ComponentCount() > 0)
        Free(Components(ComponentCount() - 1));
    if (auto *owner = qobject_cast<TComponent *>(parent()))
        owner->Unindex(this);
}

size_t TComponent::TNameHash::operator()(QStringView name) const noexcept
{
    size_t h = 1469598103934665603ull;
    for (QChar c : name)
        h = (h ^ c.toCaseFolded().unicode()) * 1099511628211ull;
    return h;
}

void TComponent::IndexIfLarge()
{
    if (FIndex || ComponentCount() < IndexFrom)
        return;
    FIndex = std::make_unique<TNameIndex>();
    FIndex->Named.reserve(size_t(ComponentCount()) * 2);
    for (QObject *c : children())
        if (!c->objectName().isEmpty())
            FIndex->Named.emplace(c->objectName(), static_cast<TComponent *>(c));
}

void TComponent::Unindex(TComponent *child)
{
    if (!FIndex || child->Name().isEmpty())
        return;
    const QString &key = child->Name();
    const auto it = FIndex->Named.find(key);
    if (it == FIndex->Named.end() || it->second != child)
        return;
    FIndex->Named.erase(it);
    // A name of the form base + n frees n for FirstFreeName (n written without leading zeros,
    // as FirstFreeName writes it).
    qsizetype digits = key.size();
    while (digits > 0 && key[digits - 1].isDigit())
        --digits;
    const QStringView number = QStringView(key).mid(digits);
    bool ok = false;
    const int n = number.toInt(&ok);
    if (!ok || (number.size() > 1 && number[0] == u'0'))
        return;
    const auto hint = FIndex->FreeFrom.find(key.left(digits));
    if (hint != FIndex->FreeFrom.end() && n < hint->second)
        hint->second = n;
}

QString TComponent::FirstFreeName(const QString &base) const
{
    if (!FIndex) {
        // A few children: one look at each finds the numbers after `base` already taken.
        uint64_t taken = 0;
        for (QObject *c : children()) {
            const QString name = c->objectName();
            if (name.size() <= base.size() || !QStringView(name).startsWith(base, Qt::CaseInsensitive))
                continue;
            const QStringView number = QStringView(name).mid(base.size());
            if (number.size() > 2 || (number.size() == 2 && number[0] == u'0') ||
                !std::all_of(number.begin(), number.end(), [](QChar d) { return d >= u'0' && d <= u'9'; }))
                continue;
            const int n = number.toInt();
            if (n < 64)
                taken |= uint64_t(1) << n;
        }
        if (~taken != 0)
            return base + QString::number(std::countr_one(taken));
    }
    int unused = 0;
    int &from = FIndex ? FIndex->FreeFrom.try_emplace(base, 0).first->second : unused;
    for (int n = from;; ++n) {
        QString candidate = base + QString::number(n);
        if (!FindComponent(candidate)) {
            from = n;
            return candidate;
        }
    }
}

QList<TComponent *> TComponent::StreamedChildren() const
{
    QList<TComponent *> list;
    for (int i = 0; i < ComponentCount(); ++i)
        list << Components(i);
    return list;
}

int TComponent::ComponentIndex() const
{
    return Owner() ? int(Owner()->children().indexOf(const_cast<TComponent *>(this))) : -1;
}

bool IsValidIdent(const QString &name)
{
    if (name.isEmpty())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
        const bool digit = c >= u'0' && c <= u'9';
        if (!(letter || (i > 0 && digit)))
            return false;
    }
    return true;
}

void TComponent::SetName(const QString &name)
{
    if (name == objectName())
        return;
    if (!name.isEmpty() && !IsValidIdent(name))
        throw EComponentError(QStringLiteral("'%1' is not a valid component name").arg(name));
    if (Owner() && !name.isEmpty()) {
        TComponent *other = Owner()->FindComponent(name);
        if (other && other != this)
            throw EComponentError(QStringLiteral("A component named %1 already exists").arg(name));
    }
    TComponent *owner = Owner();
    if (owner)
        owner->Unindex(this);
    setObjectName(name);
    if (owner && owner->FIndex && !name.isEmpty())
        owner->FIndex->Named.insert_or_assign(name, this);
}

TComponent *TComponent::FindComponent(const QString &name) const
{
    if (name.isEmpty())
        return nullptr;
    if (FIndex) {
        const auto it = FIndex->Named.find(name);
        return it == FIndex->Named.end() ? nullptr : it->second;
    }
    for (QObject *c : children())
        if (TNameEqual()(c->objectName(), name))
            return static_cast<TComponent *>(c);
    return nullptr;
}

void TComponent::InsertComponent(TComponent *child)
{
    Q_ASSERT(child && !child->Owner());
    if (!child->Name().isEmpty() && FindComponent(child->Name()))
        throw EComponentError(QStringLiteral("A component named %1 already exists").arg(child->Name()));
    child->setParent(this);
    if (FIndex && !child->Name().isEmpty())
        FIndex->Named.insert_or_assign(child->Name(), child);
    IndexIfLarge();
    Notification(child, TOperation::Insert);
}

void TComponent::RemoveComponent(TComponent *child)
{
    Q_ASSERT(child && child->Owner() == this);
    Notification(child, TOperation::Remove);
    Unindex(child);
    child->setParent(nullptr);
}

void TComponent::MoveComponents(std::vector<std::pair<TComponent *, int>> moves)
{
    // QObject keeps its children in joining order and cannot reorder them: from the first
    // place that changes on, every child leaves and joins again in the wanted order.
    const QObjectList now = children();
    std::sort(moves.begin(), moves.end(), [](const auto &a, const auto &b) { return a.second < b.second; });
    QSet<const QObject *> moving;
    for (const auto &[child, index] : moves) {
        Q_ASSERT(child && child->Owner() == this);
        moving.insert(child);
    }
    QObjectList wanted;
    wanted.reserve(now.size());
    for (QObject *c : now)
        if (!moving.contains(c))
            wanted << c;
    for (const auto &[child, index] : moves)
        wanted.insert(std::clamp<qsizetype>(index, 0, wanted.size()), child);
    qsizetype first = 0;
    while (first < now.size() && now[first] == wanted[first])
        ++first;
    for (qsizetype i = first; i < wanted.size(); ++i)
        wanted[i]->setParent(nullptr);
    for (qsizetype i = first; i < wanted.size(); ++i)
        wanted[i]->setParent(this);
}

void TComponent::Notification(TComponent *, TOperation) {}

// Everything of Free but deleting the object: BeforeDestruction, the children (last first),
// and the owner's Remove notification. The object stays among its owner's children.
void Dismantle(TComponent *c)
{
    c->FDestroying = true;
    c->BeforeDestruction();
    std::vector<TComponent *> children;
    children.reserve(size_t(c->ComponentCount()));
    for (int i = c->ComponentCount() - 1; i >= 0; --i)
        children.push_back(c->Components(i));
    FreeComponents(children);
    if (TComponent *owner = c->Owner()) {
        owner->Notification(c, TOperation::Remove);
        owner->Unindex(c);
    }
}

void FreeComponents(const std::vector<TComponent *> &components)
{
    if (components.empty())
        return;
    for (TComponent *c : components)
        Dismantle(c);
    // Qt searches a child list from its start when a child leaves it, and drops its first
    // entry without moving the rest: deleting in child order costs nothing per child.
    std::vector<TComponent *> byPlace = components;
    if (TComponent *owner = byPlace.front()->Owner(); owner && byPlace.size() > 1) {
        std::unordered_map<const QObject *, qsizetype> place;
        const QObjectList &all = owner->children();
        place.reserve(size_t(all.size()));
        for (qsizetype i = 0; i < all.size(); ++i)
            place.emplace(all[i], i);
        std::sort(byPlace.begin(), byPlace.end(), [&](const TComponent *a, const TComponent *b) {
            return place.at(a) < place.at(b);
        });
    }
    for (TComponent *c : byPlace)
        delete c;
}

void Free(TComponent *c)
{
    if (c)
        FreeComponents({c});
}

void InitComponent(TComponent *c, TComponent *owner)
{
    try {
        if (owner)
            owner->InsertComponent(c);
        c->Init();
    } catch (...) {
        Free(c);
        throw;
    }
}

TComponent *CreateComponent(const TComponentClass &cls, TComponent *owner)
{
    TComponent *c = cls.Make ? cls.Make() : nullptr;
    if (!c)
        throw EClassNotFound(QStringLiteral("Class %1 is abstract").arg(cls.Name()));
    InitComponent(c, owner);
    return c;
}

namespace {
QHash<QString, const TComponentClass *> &ClassTable()
{
    static QHash<QString, const TComponentClass *> table;
    return table;
}
} // namespace

void RegisterClass(const TComponentClass &cls)
{
    ClassTable().insert(cls.Name(), &cls);
}

const TComponentClass *FindClass(const QString &className)
{
    return ClassTable().value(className, nullptr);
}

TComponent *CreateComponent(const QString &className, TComponent *owner)
{
    const TComponentClass *cls = FindClass(className);
    if (!cls)
        throw EClassNotFound(QStringLiteral("Class %1 not found").arg(className));
    return CreateComponent(*cls, owner);
}
