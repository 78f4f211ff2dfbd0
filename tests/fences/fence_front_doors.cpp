// The headers a host stage may include: the libraries' include/ folders and
// the shared pieces of common/.
#include "DualFisheyeModel.h"
#include "FisheyePlane.h"
#include "PanoramaPlane.h"
#include "Spherecast.h"
#include "StitchLayout.h"
#include "ViewRotation.h"
#include "calibration/Calibration.h"
#include "libdec.h"
#include "libdec_internal.h"
#include "spherecast_internal.h"

int fenceFrontDoors() { return calibration::readForRenderer(DEFAULT_OFFSET).lensCount; }
