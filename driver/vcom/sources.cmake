# Driver sources, relative to driver/vcom. The host library and the kernel build share this list.
set(VCOM_DRIVER_SOURCES
  frame/entry.cpp
  frame/extension.cpp
  frame/device.cpp
  pnp/pnp.cpp
  receive/ring.cpp
)
