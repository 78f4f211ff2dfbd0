// A host stage may not see the renderer's internal classes.
#include "RenderSteps.h"
