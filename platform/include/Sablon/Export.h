#pragma once
#include "Mardel/Export.h"
#define SABLON_API MARDEL_API
