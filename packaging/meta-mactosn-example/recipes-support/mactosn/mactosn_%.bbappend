# Where your team keeps the mactosn repository, and the release's commit in
# full (a placeholder here: a name rather than a hash would be looked up on
# the server at every parse).
MACTOSN_GIT_URI = "git://git.example.com/mactosn.git;protocol=https;branch=main"
SRCREV = "0000000000000000000000000000000000000000"

# The maker's list, the list the last release shipped, and the MACs whose
# drop or change against it is intended, from files/ beside this file.
FILESEXTRAPATHS:prepend := "${THISDIR}/files:"
SRC_URI += "file://BrenvicMACtoSerial.csv file://BrenvicMACtoSerial.previous.csv file://list-changes-allowed.txt"
MACTOSN_SERIAL_LIST = "${UNPACKDIR}/BrenvicMACtoSerial.csv"
MACTOSN_PREVIOUS_LIST = "${UNPACKDIR}/BrenvicMACtoSerial.previous.csv"
MACTOSN_LIST_CHANGES_ALLOWED = "${UNPACKDIR}/list-changes-allowed.txt"
