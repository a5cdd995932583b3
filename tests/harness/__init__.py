"""The test harness: everything the end-to-end tests, the benchmarks and the screenshot and demo scripts need
around the real executables, written once.

    protocol    the console protocol's datagrams as bytes
    processes   programs started with their output as timed lines; cleanup on SIGTERM
    network     the virtual LAN: namespaces, hosts on a bridge, the observer socket, tcpdump captures
    display     Xvfb, windows, XTest clicks and the wheel, closing a window, screenshots and pixels
    console     the console and the simulator on the LAN: the screen's geometry and colours, the settings
                screen's steps, the simulator's control lines, the probe console's output
    measure     /proc counters of a process and the machine, percentiles
    smoke       the console run as a user runs it (the app tests and scripts/package-test)

Scripts put this folder's parent (tests/) on sys.path and import `harness.<module>`."""
