#include "Component.h"

#include "Errors.h"

#include <QHash>

TComponent::~TComponent()
{
    // Reached without Free only when the QObject tree deletes us; children still go last-first.
    FDestroying = true;
    while (ComponentCount() > 0)
        Free(Components(ComponentCount() - 1));
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
    setObjectName(name);
}

TComponent *TComponent::FindComponent(const QString &name) const
{
    if (name.isEmpty())
        return nullptr;
    for (QObject *child : children())
        if (child->objectName().compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<TComponent *>(child);
    return nullptr;
}

void TComponent::InsertComponent(TComponent *child)
{
    Q_ASSERT(child && !child->Owner());
    if (!child->Name().isEmpty() && FindComponent(child->Name()))
        throw EComponentError(QStringLiteral("A component named %1 already exists").arg(child->Name()));
    child->setParent(this);
    Notification(child, TOperation::Insert);
}

void TComponent::RemoveComponent(TComponent *child)
{
    Q_ASSERT(child && child->Owner() == this);
    Notification(child, TOperation::Remove);
    child->setParent(nullptr);
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
