// Board-support files held open by ostril_init (declared in modbus_io.h).
#pragma once

// Closes the board files so that the next ostril_init opens them again (tests).
void ostril_release();
