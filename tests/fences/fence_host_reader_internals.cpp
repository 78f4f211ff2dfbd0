// A host stage may not see the reader's internal classes.
#include "mp4read/CMp4Read.h"
