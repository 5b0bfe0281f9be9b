// Chief header of the patch editor: slots, the page control, panel controls and the palette.
#pragma once

#include "PageControl.h"
#include "Palette.h"
#include "PanelControls.h"
#include "PatchGuard.h"
#include "Slot.h"
