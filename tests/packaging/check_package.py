#!/usr/bin/env python3
"""The download: builds the package target as a user of the build would
(cmake --build <build dir> --target package), unpacks the ZIP and checks that
it holds the exe, the user guide and the exe's SHA-256, that the checksum is
right, and that the exe's version resource carries the package's version.

Usage: check_package.py BUILD_DIR VERSION BUILT_EXE
"""
import hashlib
import subprocess
import sys
import zipfile
from pathlib import Path

failures = []


def check(what, ok):
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        failures.append(what)


def main():
    build_dir, version, built_exe = Path(sys.argv[1]), sys.argv[2], Path(sys.argv[3])
    name = f"VQ4_Diag-{version}-win64"
    package = build_dir / f"{name}.zip"
    if package.exists():
        package.unlink()
    result = subprocess.run(["cmake", "--build", str(build_dir), "--target", "package"],
                            capture_output=True, text=True)
    check("the package target builds", result.returncode == 0)
    if result.returncode != 0:
        print(result.stdout, result.stderr)
        return 1
    check(f"{package.name} is made", package.is_file())
    if not package.is_file():
        return 1

    with zipfile.ZipFile(package) as archive:
        check("the ZIP is sound", archive.testzip() is None)
        files = {info.filename: archive.read(info) for info in archive.infolist() if not info.is_dir()}
    expected = {f"{name}/VQ4_Diag.exe", f"{name}/VQ4_Diag_Guide.txt", f"{name}/VQ4_Diag.exe.sha256"}
    check("exactly the exe, the guide and the checksum, in one folder: " + ", ".join(sorted(files)),
          set(files) == expected)
    if set(files) != expected:
        return 1

    exe = files[f"{name}/VQ4_Diag.exe"]
    check("the exe is the one built", exe == built_exe.read_bytes())
    check("the exe is a Windows program", exe[:2] == b"MZ")
    checksum = files[f"{name}/VQ4_Diag.exe.sha256"].decode("ascii")
    check("the checksum file reads '<sha256>  VQ4_Diag.exe' (sha256sum -c)",
          checksum == hashlib.sha256(exe).hexdigest() + "  VQ4_Diag.exe\n")

    version_text = f"{version}.0".encode("utf-16-le")
    check(f"the exe's version resource says {version}.0", version_text in exe)
    check(f"the exe's manifest says {version}.0",
          f'name="VQ4_Diag" version="{version}.0"'.encode("ascii") in exe)

    guide = files[f"{name}/VQ4_Diag_Guide.txt"].decode("ascii")
    check("the guide is plain text with CR LF line ends",
          "\r\n" in guide and "\n" not in guide.replace("\r\n", ""))
    for text in [f"VQ4_Diag {version}", "/nopause", "/fix", "/nofix", "Exit codes", "VQ4_Diag_Report_",
                 "VQ4_Diag_Backup_", "reg import", "VQ4_Diag.exe.sha256"]:
        check(f"the guide mentions {text}", text in guide)
    return 0


if __name__ == "__main__":
    code = main()
    print(f"{len(failures)} failed")
    sys.exit(1 if failures or code else 0)
