SUMMARY = "Prints a device's serial number for its MAC address"
DESCRIPTION = "MACtoSN answers a MAC address with the device's serial, from a \
MAC-to-serial list compiled into the program."
LICENSE = "CLOSED"

# Where the team keeps this repository; SRCREV (in the same bbappend or
# local.conf) pins the release's commit. With externalsrc, leave it empty.
MACTOSN_GIT_URI ??= ""
SRC_URI = "${MACTOSN_GIT_URI}"
S = "${@d.getVar('UNPACKDIR') or d.getVar('WORKDIR')}/git"

inherit cmake python3native

# The maker's list, a file of the integrator's layer: in a mactosn_%.bbappend,
#   FILESEXTRAPATHS:prepend := "${THISDIR}/files:"
#   SRC_URI += "file://BrenvicMACtoSerial.csv"
#   MACTOSN_SERIAL_LIST = "${UNPACKDIR}/BrenvicMACtoSerial.csv"   (WORKDIR before 5.1)
# Unset, the tool answers from the bundled stand-in list, which no real
# device is in.
MACTOSN_STANDIN_LIST = "${S}/data/BrenvicMACtoSerial.csv"
MACTOSN_SERIAL_LIST ??= "${MACTOSN_STANDIN_LIST}"
do_configure[file-checksums] += "${MACTOSN_SERIAL_LIST}:True"

python () {
    if not d.getVar('MACTOSN_GIT_URI') and not bb.data.inherits_class('externalsrc', d):
        raise bb.parse.SkipRecipe("set MACTOSN_GIT_URI (and SRCREV) to where this repository is kept, or use externalsrc")
    if d.getVar('MACTOSN_SERIAL_LIST') == d.getVar('MACTOSN_STANDIN_LIST'):
        bb.warn("mactosn: MACTOSN_SERIAL_LIST is not set, so the tool is built with the bundled stand-in list")
}

# LTO where the distribution builds with it; fully static where the
# distribution asks, in its configuration:
#   PACKAGECONFIG:append:pn-mactosn = " static"
PACKAGECONFIG ??= "${@bb.utils.filter('DISTRO_FEATURES', 'lto', d)}"
PACKAGECONFIG[lto] = "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON,-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF"
PACKAGECONFIG[static] = "-DMACTOSN_FULLY_STATIC=ON,-DMACTOSN_FULLY_STATIC=OFF"

# The device's callers look in /ZOR/System/bin, whatever ${prefix} is.
MACTOSN_PREFIX = "/ZOR/System"
EXTRA_OECMAKE = "-DCMAKE_INSTALL_PREFIX:PATH=${MACTOSN_PREFIX} \
                 -DMACTOSN_SERIAL_LIST=${MACTOSN_SERIAL_LIST} \
                 -DBUILD_TESTING=OFF"

# Its run path, /ZOR/System/Libs, is kept as built; the folder belongs to
# whatever puts the device's libraries there (see packaging/README.md).
FILES:${PN} = "${MACTOSN_PREFIX}/bin/MACtoSN"
FILES:${PN}-dbg += "${MACTOSN_PREFIX}/bin/.debug"
