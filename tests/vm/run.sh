#!/usr/bin/env bash
# Boots the Linux kernel in QEMU and runs the tool there on the kernel's own serial drivers: the
# 8250/16550A UART (/dev/ttyS1) and the FTDI USB-serial driver (/dev/ttyUSB0), with the device
# simulator on the host end of the line; and the CDC-ACM driver (/dev/ttyACM0 to 3), four USB
# gadgets on the kernel's dummy controller with the simulator in the guest on their device ends;
# and the CH340, CP210x, PL2303 and FTDI drivers (/dev/ttyUSB0 to 5) on chips in user space
# attached through USB/IP (tests/vm/usbchip.cpp), a simulator in the guest on each chip's line.
# One guest boot per scenario of tests/vm/scenarios and driver; prints one line each and "N passed, M failed". QORV_VM_ONLY=PATTERN runs the scenarios
# whose names match it (a shell pattern: acm*); QORV_VM_SHOW=1 prints every guest's console.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${QORV_VM_BUILD:-$root/build-vm}
cache=${QORV_VM_CACHE:-$root/build-vm-cache}
sim=${PELORIX_SIM:-$root/build/sim/pelorix-sim}
mkdir -p "$build" "$cache"

# The kernel of Debian's linux-image-amd64 and the modules the scenarios load, kept between runs;
# booted uncompressed, which under emulation reaches init in seconds instead of decompressing for
# a long time. The FTDI adapter's driver and QEMU's xHCI; USB gadgets on the dummy controller with
# the ACM function, and the host's CDC-ACM driver.
modules="usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio udc-core dummy_hcd configfs
    libcomposite u_serial usb_f_acm cdc-acm usbip-core vhci-hcd ch341 cp210x pl2303"
fetch=""
[ -s "$cache/vmlinux" ] || fetch=yes
for module in $modules; do
    [ -e "$cache/modules/$module.ko" ] || [ -e "$cache/modules/$module.ko.xz" ] || fetch=yes
done
if [ -n "$fetch" ]; then
    package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    if [ -z "$package" ]; then
        apt-get update -qq
        package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
    fi
    rm -rf "$cache/pkg" && mkdir -p "$cache/pkg"
    (cd "$cache/pkg" && apt-get download -q "$package" >/dev/null 2>&1 && dpkg-deb -x ./*.deb root)
    image=$(ls "$cache"/pkg/root/boot/vmlinuz-*)
    offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$image" | head -n 1 | cut -d: -f1)
    tail -c +$((offset + 1)) "$image" | xz -dc --single-stream >"$cache/vmlinux.part" 2>/dev/null || true
    rm -rf "$cache/modules" && mkdir -p "$cache/modules"
    for module in $modules; do
        find "$cache/pkg/root/lib/modules" -name "$module.ko*" -exec cp {} "$cache/modules/" \;
    done
    mv "$cache/vmlinux.part" "$cache/vmlinux"
    rm -rf "$cache/pkg"
fi

# The tool and the probe, linked statically; busybox for everything else.
(cd "$root" && cmake --preset vm -B "$build/tool" >/dev/null)
cmake --build "$build/tool" -j "$(nproc)" --target QorvWriter qorv-ports qorv-station pelorix-sim \
    >/dev/null
g++ -std=c++17 -O2 -Wall -Wextra -static -o "$build/probe" "$here/probe.cpp"
g++ -std=c++17 -O2 -Wall -Wextra -Wpedantic -static -o "$build/usbchip" "$here/usbchip.cpp"
initrd="$build/initrd"
rm -rf "$initrd" && mkdir -p "$initrd"/{bin,proc,sys,dev,tmp,modules}
cp /bin/busybox "$initrd/bin/busybox"
cp "$here/init" "$here/scenarios" "$build/probe" "$build/usbchip" "$build/tool/QorvWriter" "$build/tool/qorv-ports" \
    "$build/tool/qorv-station" "$build/tool/sim/pelorix-sim" "$initrd/"
cp "$root/examples/sample.qorv" "$initrd/settings.qorv"
cp "$cache"/modules/* "$initrd/modules/"
(cd "$initrd/modules" && for m in *.xz; do [ -e "$m" ] && xz -d "$m"; done; true)
(cd "$initrd" && find . | cpio -o -H newc --quiet | gzip -1) >"$build/initrd.gz"

passed=0
failed=0
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT

# Unplugs the adapter while the tool stores, and plugs it back when the tool has ended.
unplug() {
    local console=$1 monitor=$2
    until grep -q STARTING "$console" 2>/dev/null; do sleep 0.05; done
    sleep 0.5
    echo "device_del adapter" | socat - "UNIX-CONNECT:$monitor" >/dev/null
    local unplugged=$(date +%s%N)
    until grep -q "^STATUS:" "$console"; do sleep 0.01; done
    echo "UNPLUG: the tool ended $((($(date +%s%N) - unplugged) / 1000000)) ms after the unplug"
    echo "device_add usb-serial,chardev=line,id=adapter" | socat - "UNIX-CONNECT:$monitor" >/dev/null
}

# Sends a break on the line every 50 ms for 1.5 s once the guest starts the tool (QEMU's UART passes
# it to the guest's 8250 driver, which counts it; its FTDI adapter does not pass it on as an error).
breaks() {
    local console=$1 monitor=$2
    until grep -q STARTING "$console" 2>/dev/null; do sleep 0.05; done
    for _ in $(seq 30); do
        echo "chardev-send-break line" | socat - "UNIX-CONNECT:$monitor" >/dev/null
        sleep 0.05
    done
}

while IFS='|' read -r name drivers simopts commands action expected; do
    case "$name" in ''|'#'*) continue ;; esac
    # shellcheck disable=SC2254
    [ -n "${QORV_VM_ONLY:-}" ] && case "$name" in $QORV_VM_ONLY) ;; *) continue ;; esac
    for driver in $drivers; do
        rm -f "$work"/*
        # shellcheck disable=SC2086
        "$sim" $simopts >"$work/sim.out" 2>"$work/sim.err" &
        simpid=$!
        for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
        line=(-chardev "serial,id=line,path=$(head -n 1 "$work/sim.out")")
        if [ "$driver" = acm ] || [ "$driver" = chips ]; then
            # The simulators run in the guest, on the gadgets' device ends or the chips' lines.
            line=()
        elif [ "$driver" = ftdi ]; then
            line+=(-device qemu-xhci -device usb-serial,chardev=line,id=adapter,serial=QORV42)
            # A second adapter of the same kind, with nothing on its line.
            if [ "$action" = second ]; then
                line+=(-chardev file,id=idle,path=/dev/null
                    -device usb-serial,chardev=idle,id=adapter2,serial=OTHER)
            fi
        else
            line+=(-serial chardev:line)
        fi
        started=$(date +%s%N)
        timeout 90 qemu-system-x86_64 -m 256 -nodefaults -display none -no-reboot \
            -kernel "$cache/vmlinux" -initrd "$build/initrd.gz" \
            -append "console=ttyS0 8250.nr_uarts=2 panic=-1 quiet qorv.driver=$driver qorv.scenario=$name" \
            -serial "file:$work/console" "${line[@]}" \
            -monitor "unix:$work/monitor,server=on,wait=off" >"$work/qemu.err" 2>&1 &
        qemu=$!
        host=""
        if [ -n "$action" ]; then
            case "$action" in
                unplug) unplug "$work/console" "$work/monitor" >"$work/host" & ;;
                break) breaks "$work/console" "$work/monitor" >"$work/host" & ;;
            esac
            host=$!
        fi
        wait $qemu || true
        [ -z "$host" ] || kill $host 2>/dev/null || true
        kill $simpid 2>/dev/null || true
        seconds=$(awk "BEGIN {printf \"%.1f\", ($(date +%s%N) - $started) / 1e9}")
        missing=()
        IFS=';' read -ra patterns <<<"${expected//;;/;}"
        for pattern in "${patterns[@]}"; do
            case "$pattern" in
                8250:* | ftdi:* | acm:* | chips:*) [ "${pattern%%:*}" = "$driver" ] || continue; pattern=${pattern#*:} ;;
            esac
            grep -qF -- "$pattern" "$work/console" || missing+=("$pattern")
        done
        grep -q "SCENARIO END" "$work/console" || missing+=("the guest's end")
        if [ "$action" = unplug ]; then
            cat "$work/host" 2>/dev/null
            ms=$(sed -n 's/UNPLUG: the tool ended \([0-9]*\) ms.*/\1/p' "$work/host" 2>/dev/null)
            [ -n "$ms" ] && [ "$ms" -le 1000 ] || missing+=("an end within 1 s of the unplug")
        fi
        grep -h "^UNPLUG:" "$work/console" 2>/dev/null || true
        if [ -n "${QORV_VM_SHOW:-}" ]; then
            grep -v '^\[\|^OUT: $' "$work/console" | sed 's/^/    | /'
        fi
        if [ ${#missing[@]} -eq 0 ]; then
            passed=$((passed + 1))
            echo "vm: $name on $driver: passed in $seconds s"
        else
            failed=$((failed + 1))
            echo "vm: $name on $driver: FAILED in $seconds s; missing:"
            printf '    %s\n' "${missing[@]}"
            sed 's/^/    | /' "$work/console" | grep -v '^    | \[' | tail -n 40
            sed 's/^/    qemu: /' "$work/qemu.err" | tail -n 5
        fi
    done
done <"$here/scenarios"
echo "vm: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
