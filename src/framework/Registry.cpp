#include "Registry.h"

#include "DrawSheet.h"
#include "Errors.h"

namespace {
struct TRegistry {
    QStringList ClassNames, OldNames;

    void Add(const TComponentClass &cls)
    {
        if (ClassNames.contains(cls.Name()))
            return;
        ClassNames << cls.Name();
        OldNames << OldClassName(cls.Name());
        RegisterClass(cls);
    }

    TRegistry()
    {
        for (const TComponentClass *cls :
             {&ClassOf<TKorDrawSheet>(), &ClassOf<TKorCustomModule>(), &ClassOf<TKorModule>(), &ClassOf<TKorModule2>(),
              &ClassOf<TKorModule4>(), &ClassOf<TKorModule8>(), &ClassOf<TKorMidiBaseModule>()})
            Add(*cls);
    }
};

TRegistry &Registry()
{
    static TRegistry registry;
    return registry;
}
} // namespace

QString OldClassName(const QString &className)
{
    QString s = className;
    return s.remove(QStringLiteral("kor"), Qt::CaseInsensitive);
}

void RegisterModuleClasses(std::initializer_list<const TComponentClass *> classes)
{
    TRegistry &r = Registry();
    for (const TComponentClass *cls : classes)
        r.Add(*cls);
}

const TComponentClass &FindModuleClass(const QString &name)
{
    Registry();
    if (const TComponentClass *cls = FindClass(name))
        return *cls;
    throw EClassNotFound(QStringLiteral("Class %1 not found").arg(name));
}

const QStringList &ClassNames()
{
    return Registry().ClassNames;
}

const QStringList &OldNames()
{
    return Registry().OldNames;
}
