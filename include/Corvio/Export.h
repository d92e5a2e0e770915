#pragma once
#include "Mardel/Export.h"
#define CORVIO_API MARDEL_API
