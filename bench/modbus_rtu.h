// A libmodbus RTU context on a descriptor that is already open.
#pragma once

#include <modbus.h>

#include <stdexcept>

#include "modbus_frames.h"

namespace kavrol::bench {

// The device name is never opened: no modbus_connect, and modbus_free does
// not close the descriptor, so the line keeps its configuration.
inline modbus_t* rtuOn(int fd) {
    modbus_t* ctx = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
    if (ctx == nullptr) throw std::runtime_error("modbus_new_rtu");
    modbus_set_slave(ctx, kModbusSlave);
    modbus_set_socket(ctx, fd);
    return ctx;
}

}  // namespace kavrol::bench
