// What the car's sensors read in a world: the ultrasonic distance ahead, the line-tracking
// unit's view of the floor, and whether the car's body touches something.
#pragma once

#include "world/floor.hpp"
#include "world/world.hpp"

namespace zelk_sim {

// The ultrasonic reading in whole cm: the nearest wall or ball within a narrow cone ahead of
// the sensor, kept within the sensor's range (nothing in range reads as its maximum).
unsigned ultrasonic_cm(const World& world, const Pose& pose);

// Bit i set when line sensor i (from the car's left) sees the floor dark.
unsigned line_sensor_bits(const World& world, const Floor& floor, const Pose& pose);

// Sideways position of line sensor i, in cm to the right of the car's middle.
double line_sensor_offset_cm(const CarConstants& car, int i);

// Whether the car's body at this pose overlaps a wall or a ball.
bool touches_something(const World& world, const Pose& pose);

}  // namespace zelk_sim
