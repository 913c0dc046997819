#include "plant/mqtt_settings.h"
