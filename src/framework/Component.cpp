#include "Component.h"

#include "Errors.h"

#include <QHash>
#include <QSet>
#include <algorithm>

TComponent::~TComponent()
{
    // Reached without Free only when the QObject tree deletes us; children still go last-first.
    FDestroying = true;
    while (ComponentCount() > 0)
        Free(Components(ComponentCount() - 1));
    if (auto *owner = qobject_cast<TComponent *>(parent()))
        owner->Unindex(this);
}

void TComponent::Unindex(TComponent *child)
{
    const QString key = NameKey(child->Name());
    const auto it = FNamedChildren.constFind(key);
    if (it == FNamedChildren.cend() || it.value() != child)
        return;
    FNamedChildren.erase(it);
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
    const auto hint = FFreeFrom.find(key.left(digits));
    if (hint != FFreeFrom.end() && n < hint.value())
        hint.value() = n;
}

QString TComponent::FirstFreeName(const QString &base) const
{
    int &from = FFreeFrom[NameKey(base)];
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
    if (owner && !name.isEmpty())
        owner->FNamedChildren.insert(NameKey(name), this);
}

TComponent *TComponent::FindComponent(const QString &name) const
{
    return name.isEmpty() ? nullptr : FNamedChildren.value(NameKey(name), nullptr);
}

void TComponent::InsertComponent(TComponent *child)
{
    Q_ASSERT(child && !child->Owner());
    if (!child->Name().isEmpty() && FindComponent(child->Name()))
        throw EComponentError(QStringLiteral("A component named %1 already exists").arg(child->Name()));
    child->setParent(this);
    if (!child->Name().isEmpty())
        FNamedChildren.insert(NameKey(child->Name()), child);
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

void Free(TComponent *c)
{
    if (!c)
        return;
    c->FDestroying = true;
    c->BeforeDestruction();
    while (c->ComponentCount() > 0)
        Free(c->Components(c->ComponentCount() - 1));
    if (TComponent *owner = c->Owner())
        owner->RemoveComponent(c);
    delete c;
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
