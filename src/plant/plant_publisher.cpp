#include "plant/plant_publisher.h"
