SUMMARY = "Prints a device's serial number for its MAC address"
DESCRIPTION = "MACtoSN answers a MAC address with the device's serial, from a \
MAC-to-serial list compiled into the program."
LICENSE = "CLOSED"

# Where the team keeps this repository, a plain git URI; SRCREV (in the same
# bbappend or local.conf) pins the release's commit. With externalsrc, leave
# it empty.
MACTOSN_GIT_URI ??= ""
SRC_URI = "${MACTOSN_GIT_URI}"

S = "${@mactosn_git_source_dir(d)}"

# Where the fetcher unpacks MACTOSN_GIT_URI: UNPACKDIR (WORKDIR before Yocto
# 5.1), then the URI's destsuffix, else the release's default
# (BB_GIT_DEFAULT_DESTSUFFIX, ${BP} from Yocto 5.3 on; "git" before).
def mactosn_git_source_dir(d):
    uri = d.getVar('MACTOSN_GIT_URI')
    destsuffix = bb.fetch2.decodeurl(uri)[5].get('destsuffix') if uri else None
    destsuffix = destsuffix or d.getVar('BB_GIT_DEFAULT_DESTSUFFIX') or 'git'
    return os.path.join(d.getVar('UNPACKDIR') or d.getVar('WORKDIR'), destsuffix.rstrip('/'))

inherit cmake python3native

# The maker's list, and the list the last release was built from, as files
# of the integrator's layer (packaging/README.md shows the bbappend):
#   SRC_URI += "file://BrenvicMACtoSerial.csv file://BrenvicMACtoSerial.previous.csv"
#   MACTOSN_SERIAL_LIST = "${UNPACKDIR}/BrenvicMACtoSerial.csv"
#   MACTOSN_PREVIOUS_LIST = "${UNPACKDIR}/BrenvicMACtoSerial.previous.csv"
# With a previous list, a row the new list drops or changes stops the build
# unless MACTOSN_LIST_CHANGES_ALLOWED names a file that lists its MAC.
# Unset, the tool answers from the bundled stand-in list, which no real
# device is in.
MACTOSN_STANDIN_LIST = "${S}/data/BrenvicMACtoSerial.csv"
MACTOSN_SERIAL_LIST ??= "${MACTOSN_STANDIN_LIST}"
MACTOSN_PREVIOUS_LIST ??= ""
MACTOSN_LIST_CHANGES_ALLOWED ??= ""

python () {
    # Yocto 5.0 unpacks into WORKDIR and has no UNPACKDIR: naming it there
    # lets one bbappend serve every release.
    if d.getVar('UNPACKDIR') is None:
        d.setVar('UNPACKDIR', '${WORKDIR}')
    if not d.getVar('MACTOSN_GIT_URI') and not d.getVar('EXTERNALSRC'):
        raise bb.parse.SkipRecipe("set MACTOSN_GIT_URI (and SRCREV) to where this repository is kept, or use externalsrc")
    # Every task parses the recipe again; only the parse is once a run.
    if d.getVar('MACTOSN_SERIAL_LIST') == d.getVar('MACTOSN_STANDIN_LIST') and not d.getVar('BB_WORKERCONTEXT'):
        bb.warn("mactosn: MACTOSN_SERIAL_LIST is not set, so the tool is built with the bundled stand-in list")
    # A new list must configure the tool again. The fetcher already checksums
    # what SRC_URI brings into the work folder (which does not exist before
    # do_unpack) and the git sources; a list elsewhere is tracked here. A
    # globally inherited externalsrc has replaced do_configure's checksums
    # by now, so this adds to its own.
    workdir = d.getVar('WORKDIR')
    for name in ('MACTOSN_SERIAL_LIST', 'MACTOSN_PREVIOUS_LIST', 'MACTOSN_LIST_CHANGES_ALLOWED'):
        path = d.getVar(name)
        if path and not oe.path.is_path_parent(workdir, path):
            d.appendVarFlag('do_configure', 'file-checksums', ' %s:True' % path)
}

# LTO where the distribution builds with it; fully static where the
# distribution asks, in its configuration:
#   PACKAGECONFIG:append:pn-mactosn = " static"
PACKAGECONFIG ??= "${@bb.utils.filter('DISTRO_FEATURES', 'lto', d)}"
PACKAGECONFIG[lto] = "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON,-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF"
PACKAGECONFIG[static] = "-DMACTOSN_FULLY_STATIC=ON,-DMACTOSN_FULLY_STATIC=OFF"

# The device's callers look in /ZOR/System/bin, whatever ${prefix} is. Each
# list path is one word of cmake.bbclass's configure command, spaces and all.
MACTOSN_PREFIX = "/ZOR/System"
EXTRA_OECMAKE = "-DCMAKE_INSTALL_PREFIX:PATH=${MACTOSN_PREFIX} \
                 ${@mactosn_shell_word('-DMACTOSN_SERIAL_LIST=' + (d.getVar('MACTOSN_SERIAL_LIST') or ''))} \
                 ${@mactosn_shell_word('-DMACTOSN_PREVIOUS_LIST=' + (d.getVar('MACTOSN_PREVIOUS_LIST') or ''))} \
                 ${@mactosn_shell_word('-DMACTOSN_LIST_CHANGES_ALLOWED=' + (d.getVar('MACTOSN_LIST_CHANGES_ALLOWED') or ''))} \
                 -DBUILD_TESTING=OFF"

def mactosn_shell_word(text):
    import shlex
    return shlex.quote(text)

# Its run path, /ZOR/System/Libs, is kept as built; the folder belongs to
# whatever puts the device's libraries there (see packaging/README.md).
FILES:${PN} = "${MACTOSN_PREFIX}/bin/MACtoSN"
FILES:${PN}-dbg += "${MACTOSN_PREFIX}/bin/.debug"
