#include <rtm/OutPort.h>
