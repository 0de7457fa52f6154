#!/bin/sh
# Init of the QEMU test guest. ttyS0 carries commands and kelvor's keys and messages,
# ttyS1 is the line kelvor drives, ttyS2 has the kernel's log. The host sends one
# command per line on ttyS0 and reads the answers that start with '@'. These are
# the guest's own emulated ports, backed on the host by socket pairs the test
# makes: this script runs only as the guest's init, never on the host.
export PATH=/bin
if [ "$1" != loop ]; then
    mount -t devtmpfs dev /dev
    mount -t proc proc /proc
    mount -t sysfs sys /sys
    # 7 data bits, odd parity, 2 stop bits (LCR 0x0E): a frame no row uses, so the host
    # tells this UART's register writes from the line's. kelvor leaves the frame as it
    # is (it only turns off echo and line editing). No echo: commands stay off the output.
    stty -F /dev/ttyS0 115200 cs7 parenb parodd cstopb -echo -onlcr
    # A new session with ttyS0 as its controlling terminal, so kelvor takes keys from it.
    exec setsid -c sh /init loop </dev/ttyS0 >/dev/ttyS0 2>&1
fi

echo @READY
while read -r cmd; do
    case "$cmd" in
    ping) echo @PONG ;;
    run)
        kelvor /dev/ttyS1
        echo "@EXIT $?"
        ;;
    second)
        # A kelvor without a terminal holds the port; a second one must be refused.
        setsid kelvor /dev/ttyS1 </dev/null >/dev/null 2>&1 &
        first=$!
        sleep 1
        kelvor /dev/ttyS1 </dev/null >/dev/null 2>&1
        second=$?
        kill "$first"
        wait "$first"
        echo "@SECOND $second $?"
        ;;
    off) poweroff -f ;;
    esac
done
