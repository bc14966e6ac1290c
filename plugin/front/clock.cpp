#include "front/clock.h"

#include "front/operator_instance.h"

int32_t Lap(OperatorInstance& instance) {
  instance.clockEnd = ClockMs();
  const int32_t elapsed = instance.clockEnd - instance.clockStart;
  instance.clockStart = ClockMs();
  return elapsed;
}
