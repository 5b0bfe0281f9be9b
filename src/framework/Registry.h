// The module class registry: current class names and the names earlier versions wrote
// (every "kor" removed), kept in registration order for converting old patch files.
#pragma once

#include "Component.h"

#include <QStringList>
#include <initializer_list>

// Appends each class to ClassNames and its old name to OldNames, and registers it with the
// streaming class registry. The framework's own classes (the sheet and the module bases) are
// registered first, before any other. User-interface thread, at start-up.
void RegisterModuleClasses(std::initializer_list<const TComponentClass *> classes);
// The class registered under name; raises EClassNotFound ("Class X not found") otherwise.
const TComponentClass &FindModuleClass(const QString &name);
const QStringList &ClassNames();
const QStringList &OldNames();
// "TKorConstant" -> "TConstant": every "kor" removed, regardless of case.
QString OldClassName(const QString &className);
