#include <rtm/InPort.h>
