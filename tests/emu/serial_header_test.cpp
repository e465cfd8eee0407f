// The serial interface keeps Windows' codes: applications and the driver meet on these numbers.
#include <gtest/gtest.h>

#include <initguid.h>

#include "ntddser.h"
#include "wdm.h"

TEST(SerialHeader, CodesAreTheWindowsSerialCodes) {
    EXPECT_EQ(IOCTL_SERIAL_SET_BAUD_RATE, 0x1B0004u);
    EXPECT_EQ(IOCTL_SERIAL_WAIT_ON_MASK, 0x1B0048u);
    EXPECT_EQ(IOCTL_SERIAL_GET_PROPERTIES, 0x1B0074u);
    EXPECT_EQ(IOCTL_SERIAL_CONFIG_SIZE, 0x1B0080u);
    EXPECT_EQ(IOCTL_SERIAL_GET_STATS, 0x1B008Cu);
    EXPECT_EQ(IOCTL_SERIAL_SET_FIFO_CONTROL, 0x1B009Cu);
    EXPECT_EQ(GUID_DEVINTERFACE_COMPORT.Data1, 0x86E0D1E0u);
    EXPECT_EQ(GUID_DEVINTERFACE_COMPORT.Data4[7], 0x73);
    // The property flags the port reports combine to the documented masks.
    EXPECT_EQ(SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR |
                  SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS,
              0xF7u);
    EXPECT_EQ(SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_9600 |
                  SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_115200,
              0x26B60u);
    EXPECT_EQ(offsetof(SERIAL_COMMPROP, ProvChar), 60u);
}
