#include "mqtt/mosquitto_client.h"
