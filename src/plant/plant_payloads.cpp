#include "plant/plant_payloads.h"
