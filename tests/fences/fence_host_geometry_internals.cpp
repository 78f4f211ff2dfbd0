// A host stage sees the geometry's headers, not its private ones.
#include "GridMesh.h"
