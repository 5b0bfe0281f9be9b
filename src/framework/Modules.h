// Chief header of the module framework: components, details and modules, connectors and
// cables, the text label, the draw sheet, the class registry, checked arithmetic, and the
// object stream with the patch files built on it.
#pragma once

#include "AppPaths.h"
#include "Checked.h"
#include "Colors.h"
#include "Component.h"
#include "Connectors.h"
#include "CustomModule.h"
#include "Details.h"
#include "Dialogs.h"
#include "DrawSheet.h"
#include "Errors.h"
#include "Geometry.h"
#include "MidiMsg.h"
#include "ObjectStream.h"
#include "PatchFile.h"
#include "Random.h"
#include "Registry.h"
#include "RemoteControl.h"
#include "TextLabel.h"
