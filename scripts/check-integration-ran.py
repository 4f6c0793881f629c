#!/usr/bin/env python3
"""Fails when integration tests were skipped on a machine that can run them.

Integration tests skip themselves when root, loop devices, FUSE or a tool is
missing. Where all of these are present a skip means the suite proved nothing,
so it counts as a failure here.
"""
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

TOOLS = ["mkntfs", "ntfs-3g", "ntfsinfo", "sfdisk", "sgdisk", "losetup", "partx", "mkfs.vfat"]


def machine_can_run_integration():
    return (os.geteuid() == 0 and os.access("/dev/fuse", os.R_OK | os.W_OK)
            and os.access("/dev/loop-control", os.R_OK | os.W_OK)
            and all(shutil.which(t) for t in TOOLS))


def integration_test_names(build):
    listing = subprocess.run(["ctest", "--test-dir", build, "-L", "integration", "-N"],
                             capture_output=True, text=True, check=False).stdout
    return set(re.findall(r"Test\s+#\d+: (\S+)", listing))


def main(build):
    path = os.path.join(build, "ctest-results.xml")
    names = integration_test_names(build)
    if not os.path.exists(path):
        print(f"check-integration-ran: no test results at {path}")
        return 1
    root = ET.parse(path).getroot()
    skipped, ran = [], 0
    for case in root.iter("testcase"):
        if case.get("name") not in names:
            continue
        if case.find("skipped") is not None or case.get("status") == "notrun":
            skipped.append(case.get("name"))
        else:
            ran += 1
    print(f"integration tests run: {ran}, skipped: {len(skipped)}")
    if skipped and machine_can_run_integration():
        print("Integration tests were skipped although root, FUSE, loop devices and the tools are here:")
        for name in skipped:
            print("  " + name)
        return 1
    if ran == 0 and machine_can_run_integration():
        print("No integration test ran.")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
