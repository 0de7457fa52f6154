// Rates that a driver reads back as set but its hardware cannot make.
#include <gtest/gtest.h>

#include "serial/driver_rates.h"

TEST(DriverRates, KnowsTheDriversThatMisreportOnlyByTheirOwnName) {
    EXPECT_EQ(driver_lowest_rate("../../../../bus/usb-serial/drivers/ftdi_sio"), 183u);
    EXPECT_EQ(driver_lowest_rate("ftdi_sio"), 183u);
    // Other drivers, and names that only contain the known one, have no limit.
    EXPECT_EQ(driver_lowest_rate("../../../bus/platform/drivers/serial8250"), 0u);
    EXPECT_EQ(driver_lowest_rate("../../bus/usb-serial/drivers/ftdi_sio_x"), 0u);
    EXPECT_EQ(driver_lowest_rate("/ftdi_sio/cp210x"), 0u);
    EXPECT_EQ(driver_lowest_rate(""), 0u);

    // Whose drain waits for the pin: the serial core's (it answers the line
    // status) and that of a USB driver that asks its chip, by name only.
    EXPECT_TRUE(driver_drains_to_pin("../../../bus/platform/drivers/serial8250", true));
    EXPECT_TRUE(driver_drains_to_pin("../../bus/usb-serial/drivers/cp210x", false));
    EXPECT_TRUE(driver_drains_to_pin("../../bus/usb-serial/drivers/ftdi_sio", true));
    EXPECT_FALSE(driver_drains_to_pin("../../bus/usb-serial/drivers/ch341-uart", false));
    EXPECT_FALSE(driver_drains_to_pin("../../bus/usb-serial/drivers/mos7840", true));
    EXPECT_FALSE(driver_drains_to_pin("../../../bus/usb/drivers/cdc_acm", false));
}
