SUMMARY = "Prints a device's serial number for its MAC address"
DESCRIPTION = "MACtoSN answers a MAC address with the device's serial, from a \
MAC-to-serial list compiled into the program."
LICENSE = "CLOSED"
# "+git": a new SRCREV ships under a new package version, as
# package_setup_pkgv appends the revision to PKGV.
PV = "1.0.0+git"

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
# of the integrator's layer (meta-mactosn-example's bbappend shows how).
# With a previous list, a row the new list drops or changes stops the build
# unless MACTOSN_LIST_CHANGES_ALLOWED names a file that lists its MAC.
# The bundled stand-in list, which no real device is in, only on request:
#   MACTOSN_SERIAL_LIST = "${MACTOSN_STANDIN_LIST}"
MACTOSN_STANDIN_LIST = "${S}/data/BrenvicMACtoSerial.csv"
MACTOSN_SERIAL_LIST ??= ""
MACTOSN_PREVIOUS_LIST ??= ""
MACTOSN_LIST_CHANGES_ALLOWED ??= ""

python () {
    # Yocto 5.0 unpacks into WORKDIR and has no UNPACKDIR: naming it there
    # lets one bbappend serve every release.
    if d.getVar('UNPACKDIR') is None:
        d.setVar('UNPACKDIR', '${WORKDIR}')
    if not d.getVar('MACTOSN_GIT_URI') and not d.getVar('EXTERNALSRC'):
        raise bb.parse.SkipRecipe("set MACTOSN_GIT_URI (and SRCREV) to where this repository is kept, or use externalsrc")
    # Without a list the tool would answer Fail:Mac= on every real unit.
    # Skipped, the recipe stops any build that asks for mactosn, before
    # anything is built and with this reason as its error, while images
    # without it parse and build as before (an error at parse time would
    # stop them too; one in a task, only after fetching and unpacking).
    # BitBake expands the reason, so it names the stand-in's variable.
    if not d.getVar('MACTOSN_SERIAL_LIST'):
        raise bb.parse.SkipRecipe("MACTOSN_SERIAL_LIST is not set: name the maker's MAC-to-serial list, or, "
                                  "for a build no real device will run, set it to MACTOSN_STANDIN_LIST, the "
                                  "bundled stand-in list")
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

# A maker's list with no previous list builds with the release guard off.
# The configure's own warning lands in log.do_configure only; this one is on
# the console of every run that configures the tool from such a list. (At
# parse time it would vanish once the parse is cached.)
python mactosn_warn_unguarded() {
    if d.getVar('MACTOSN_SERIAL_LIST') != d.getVar('MACTOSN_STANDIN_LIST') and not d.getVar('MACTOSN_PREVIOUS_LIST'):
        bb.warn("MACTOSN_PREVIOUS_LIST is not set, so %s is not compared with the list the last release shipped: "
                "a row it drops, or a serial it changes, goes unnoticed" % d.getVar('MACTOSN_SERIAL_LIST'))
}
do_configure[prefuncs] += "mactosn_warn_unguarded"

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
# whatever puts the device's libraries there.
FILES:${PN} = "${MACTOSN_PREFIX}/bin/MACtoSN"
FILES:${PN}-dbg += "${MACTOSN_PREFIX}/bin/.debug"
