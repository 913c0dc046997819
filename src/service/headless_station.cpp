#include "service/headless_station.h"
