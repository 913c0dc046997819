#include <app/station_core.h>
#include "../../app/main_controller.h"
#include "../../../../outside.h"
#include "station/station.h"
#include <vector>
