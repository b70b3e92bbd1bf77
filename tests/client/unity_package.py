#!/usr/bin/env python3
"""The Unity package as Unity would take it, without Unity.

Reads the package folder (and its tarball) that the velantis-unity-package target made:
  manifest   package.json's fields, its version the library's (client.h)
  assembly   the .asmdef's JSON, named as its file, over the binding's namespace
  binding    Runtime/Velantis.Client.cs is client/bindings/csharp's, byte for byte
  meta       every file and folder has a .meta with a GUID of its own, and no .meta is orphaned
  plug-ins   exactly the three libraries, each .meta enabling its one platform, CPU and editor;
             the binary's ELF or PE machine is that CPU, it exports every function the binding
             imports, and the DLL needs no DLL that Windows does not have
  mono       mcs compiles Runtime/ as an assembly, and a program on it loads the Linux x86_64
             plug-in from its folder by the binding's library name
  tarball    holds the same files below package/

Usage: unity_package.py --package FOLDER --tarball FILE --source-tree FOLDER
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tarfile
import tempfile

# Plug-in path below Runtime/Plugins -> (standalone platform, CPU, editor OS, ELF or PE machine).
PLUGINS = {
    "Linux/x86_64/libvelantis-client.so": ("Linux64", "x86_64", "Linux", ("ELF", 62)),
    "Linux/arm64/libvelantis-client.so": ("Linux64", "ARM64", "Linux", ("ELF", 183)),
    "Windows/x86_64/velantis-client.dll": ("Win64", "x86_64", "Windows", ("PE", 0x8664)),
}
# What a Windows machine has without installing anything: a DLL that needs more (the mingw
# runtime's libstdc++-6.dll, libwinpthread-1.dll) does not load in a Unity player.
WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "shell32.dll", "ws2_32.dll",
                       "advapi32.dll", "user32.dll", "bcrypt.dll", "iphlpapi.dll"}
failures = []


def fail(message):
    failures.append(message)
    print(f"unity_package: {message}")


def library_version(source_tree):
    with open(os.path.join(source_tree, "client/include/velantis/client.h")) as f:
        header = f.read()
    return ".".join(re.search(rf"#define VELANTIS_CLIENT_VERSION_{part} (\d+)", header).group(1)
                    for part in ("MAJOR", "MINOR", "PATCH"))


def check_manifest(package, version):
    with open(os.path.join(package, "package.json")) as f:
        manifest = json.load(f)
    name = manifest.get("name", "")
    if not re.fullmatch(r"com(\.[a-z0-9][a-z0-9-]*)+", name) or len(name) > 50:
        fail(f"package.json: name {name!r} is no lower-case reverse-domain name of 50 or fewer")
    if manifest.get("version") != version:
        fail(f"package.json: version {manifest.get('version')!r}, the library is {version}")
    for field in ("displayName", "description"):
        if not isinstance(manifest.get(field), str) or not manifest[field].strip():
            fail(f"package.json: no {field}")
    if not re.fullmatch(r"\d{4}\.\d+", str(manifest.get("unity", ""))):
        fail(f"package.json: unity {manifest.get('unity')!r} is no YEAR.MINOR editor version")


def check_assembly(package, binding):
    runtime = os.path.join(package, "Runtime")
    definitions = [name for name in os.listdir(runtime) if name.endswith(".asmdef")]
    if len(definitions) != 1:
        return fail(f"Runtime/ holds {len(definitions)} assembly definitions, not one")
    with open(os.path.join(runtime, definitions[0])) as f:
        assembly = json.load(f)
    if assembly.get("name") != definitions[0][:-len(".asmdef")]:
        fail(f"{definitions[0]}: named {assembly.get('name')!r}, not as its file")
    namespace = re.search(r"^namespace ([\w.]+)", binding, re.M).group(1)
    if assembly.get("rootNamespace") != namespace:
        fail(f"{definitions[0]}: root namespace {assembly.get('rootNamespace')!r}, the binding's"
             f" is {namespace}")
    if "unsafe" in re.sub(r"//.*", "", binding) and not assembly.get("allowUnsafeCode"):
        fail(f"{definitions[0]}: the binding has unsafe code, the assembly does not allow it")
    if "UnityEngine" in binding and assembly.get("noEngineReferences"):
        fail(f"{definitions[0]}: the binding uses UnityEngine, the assembly does not reference it")


def check_metas(package):
    guids = {}
    for folder, folders, files in os.walk(package):
        for name in folders + files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, package)
            if name.endswith(".meta"):
                if not os.path.exists(path[:-len(".meta")]):
                    fail(f"{relative}: no asset beside it")
                continue
            if not os.path.isfile(path + ".meta"):
                fail(f"{relative}: no .meta")
                continue
            with open(path + ".meta") as f:
                meta = f.read()
            guid = re.search(r"^guid: ([0-9a-f]{32})$", meta, re.M)
            if not guid:
                fail(f"{relative}.meta: no GUID of 32 hex digits")
            elif guid.group(1) in guids:
                fail(f"{relative}.meta: GUID also of {guids[guid.group(1)]}")
            else:
                guids[guid.group(1)] = relative
            if os.path.isdir(path) != ("\nfolderAsset: yes\n" in meta):
                fail(f"{relative}.meta: folderAsset does not say whether it is a folder")


def platform_data(meta):
    """[(key, value, enabled, settings)] of a PluginImporter .meta's platformData entries."""
    entries = []
    for block in re.split(r"\n  - first:\n", meta.split("platformData:", 1)[1])[1:]:
        key, value = re.match(r" *([^:\n]*): ?([^\n]*)\n", block).groups()
        enabled = int(re.search(r"\n *enabled: (\d)", block).group(1))
        settings = dict(re.findall(r"\n {8}([^:\n]+): ([^\n]*)", block))
        entries.append((key.strip(), value.strip(), enabled, settings))
    return entries


def binary_machine(path):
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:4] == b"\x7fELF":
        if head[4] != 2 or int.from_bytes(head[16:18], "little") != 3:
            return ("ELF", "not a 64-bit shared object")
        return ("ELF", int.from_bytes(head[18:20], "little"))
    if head[:2] == b"MZ":
        pe = int.from_bytes(head[0x3C:0x40], "little")
        if head[pe:pe + 4] != b"PE\0\0":
            return ("PE", "no PE header")
        characteristics = int.from_bytes(head[pe + 22:pe + 24], "little")
        if not characteristics & 0x2000:
            return ("PE", "not a DLL")
        return ("PE", int.from_bytes(head[pe + 4:pe + 6], "little"))
    return ("unknown", None)


def exports(path, kind):
    if kind == "ELF":
        listing = subprocess.run(["objdump", "-T", path], capture_output=True, text=True).stdout
        return {line.split()[-1] for line in listing.splitlines() if " DF .text" in line}
    listing = subprocess.run(["objdump", "-p", path], capture_output=True, text=True).stdout
    table = listing.split("[Ordinal/Name Pointer] Table", 1)[-1]
    return set(re.findall(r"^\s*\[\s*\d+\] (\w+)$", table, re.M))


def check_plugins(package, binding):
    plugins = os.path.join(package, "Runtime", "Plugins")
    found = {os.path.relpath(os.path.join(folder, name), plugins)
             for folder, _, files in os.walk(plugins) for name in files
             if not name.endswith(".meta")}
    if found != set(PLUGINS):
        fail(f"Runtime/Plugins holds {sorted(found)}, expected {sorted(PLUGINS)}")
    imported = set(re.findall(r"static extern [^(]*?\b(velantis_\w+)\(", binding))
    for relative, (platform, cpu, editor_os, machine) in PLUGINS.items():
        path = os.path.join(plugins, relative)
        if not os.path.isfile(path):
            continue
        with open(path + ".meta") as f:
            meta = f.read()
        if "\nPluginImporter:\n" not in meta:
            fail(f"{relative}.meta: no PluginImporter")
            continue
        enabled = {}
        for key, value, on, settings in platform_data(meta):
            if on:
                enabled[(key, value)] = settings
        expected = {("Standalone", platform): {"CPU": cpu},
                    ("Editor", "Editor"): {"CPU": cpu, "OS": editor_os}}
        for where, wanted in expected.items():
            got = enabled.get(where)
            if got is None or any(got.get(k) != v for k, v in wanted.items()):
                fail(f"{relative}.meta: {where[0]} {where[1]} not enabled with {wanted}: {got}")
        others = set(enabled) - set(expected)
        if others:
            fail(f"{relative}.meta: also enabled for {sorted(others)}")
        kind, number = binary_machine(path)
        if (kind, number) != machine:
            fail(f"{relative}: {kind} machine {number}, its .meta says {cpu} ({machine[1]})")
            continue
        missing = imported - exports(path, kind)
        if missing:
            fail(f"{relative}: does not export {sorted(missing)}")
        if kind == "PE":
            listing = subprocess.run(["objdump", "-p", path], capture_output=True,
                                     text=True).stdout
            needs = {name.lower() for name in re.findall(r"DLL Name: (\S+)", listing)}
            if needs - WINDOWS_SYSTEM_DLLS:
                fail(f"{relative}: needs {sorted(needs - WINDOWS_SYSTEM_DLLS)} beside it")


def check_mono(package, version):
    with tempfile.TemporaryDirectory() as folder:
        runtime = os.path.join(package, "Runtime")
        assembly = os.path.join(folder, "Velantis.Client.dll")
        sources = sorted(os.path.join(runtime, name) for name in os.listdir(runtime)
                         if name.endswith(".cs"))
        build = subprocess.run(["mcs", "-target:library", "-langversion:7.2", "-warnaserror",
                                f"-out:{assembly}"] + sources, capture_output=True, text=True)
        if build.returncode != 0:
            return fail(f"mcs did not compile Runtime/: {build.stdout}{build.stderr}")
        program = os.path.join(folder, "version.cs")
        with open(program, "w") as f:
            f.write("class V { static void Main() { uint v = Velantis.Client.Client.Version;"
                    " System.Console.WriteLine((v >> 16) + \".\" + ((v >> 8) & 255) + \".\" +"
                    " (v & 255)); } }\n")
        build = subprocess.run(["mcs", f"-r:{assembly}", f"-out:{program[:-3]}.exe", program],
                               capture_output=True, text=True)
        if build.returncode != 0:
            return fail(f"mcs did not compile a program on the assembly: {build.stdout}")
        plugin = os.path.join(runtime, "Plugins", "Linux", "x86_64")
        run = subprocess.run(["mono", f"{program[:-3]}.exe"], capture_output=True, text=True,
                             env=dict(os.environ, LD_LIBRARY_PATH=plugin, MONO_PATH=folder),
                             timeout=120)
        if run.returncode != 0 or run.stdout.strip() != version:
            fail(f"mono with the Linux x86_64 plug-in: {run.stdout.strip()!r} {run.stderr[-500:]}")


def check_tarball(package, tarball):
    with tarfile.open(tarball) as archive:
        names = {name.rstrip("/") for name in archive.getnames()}
    here = {"package"} | {os.path.join("package", os.path.relpath(os.path.join(f, n), package))
                          for f, folders, files in os.walk(package) for n in folders + files}
    if names != here:
        fail(f"{os.path.basename(tarball)}: differs from the folder: {sorted(names ^ here)[:6]}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--package", required=True)
    parser.add_argument("--tarball", required=True)
    parser.add_argument("--source-tree", required=True)
    args = parser.parse_args()
    version = library_version(args.source_tree)
    with open(os.path.join(args.source_tree, "client/bindings/csharp/Velantis.Client.cs"),
              "rb") as f:
        binding_bytes = f.read()
    with open(os.path.join(args.package, "Runtime", "Velantis.Client.cs"), "rb") as f:
        if f.read() != binding_bytes:
            fail("Runtime/Velantis.Client.cs is not client/bindings/csharp/Velantis.Client.cs")
    binding = binding_bytes.decode()
    check_manifest(args.package, version)
    check_assembly(args.package, binding)
    check_metas(args.package)
    check_plugins(args.package, binding)
    check_mono(args.package, version)
    check_tarball(args.package, args.tarball)
    if not failures:
        print(f"unity_package: {version}: manifest, assembly, metas, 3 plug-ins (machines and "
              "exports), mono and tarball as Unity wants them")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
