#!/usr/bin/python3
"""What lumhost's web page costs the host: lumhost's own CPU time while the
rainbow example runs, without the page, with the page open in headless
Chromium, and without it again, in one run. Not a test (timings are not
asserted anywhere); run it by hand on a quiet machine:

    host_web_cpu.py BIN [SECONDS]

BIN holds lumhost and rainbow (a release build: build/linux/bin). Each phase
lasts SECONDS (default 10) after a settling pause.
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host_web_test as web  # noqa: E402


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])
    return ticks / os.sysconf('SC_CLK_TCK')


def phase(pid, seconds):
    before = cpu_seconds(pid)
    start = time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - before) / (time.monotonic() - start)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    bin_dir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    host = web.Host(os.path.join(bin_dir, 'lumhost'))
    pid = host.process.proc.pid
    rainbow = host.client(os.path.join(bin_dir, 'rainbow'), 3 * seconds + 20)
    driver = None
    profile_dir = tempfile.mkdtemp(prefix='lumhost-chromium-')
    try:
        time.sleep(3)
        without = phase(pid, seconds)
        driver = web.headless_chromium(profile_dir)
        driver.get(host.url_with_token)
        time.sleep(3)
        pushes_before = int(driver.find_element('tag name', 'body').get_attribute('data-pushes'))
        start = time.monotonic()
        with_page = phase(pid, seconds)
        pushes = int(driver.find_element('tag name', 'body').get_attribute('data-pushes'))
        rate = (pushes - pushes_before) / (time.monotonic() - start)
        driver.quit()
        driver = None
        time.sleep(2)
        after = phase(pid, seconds)
        print('lumhost CPU during the rainbow (share of one core, %g s each):' % seconds)
        print('  without the page      %5.1f %%' % (100 * without))
        print('  with the page open    %5.1f %%  (%.1f pushes a second)' % (100 * with_page, rate))
        print('  without it again      %5.1f %%' % (100 * after))
        base = (without + after) / 2
        print('  ratio with/without    %5.2f' % (with_page / base if base > 0 else float('nan')))
    finally:
        if driver is not None:
            driver.quit()
        rainbow.proc.kill()
        host.stop()
        subprocess.run(['rm', '-rf', profile_dir])


if __name__ == '__main__':
    main()
