// The library's classes in the class registry, in the order that converts old patch files.
#include "MoreMods.h"

void RegisterLibraryModules()
{
    RegisterModuleClasses({});
}
