# Read by cpack for every generator: a Debian package made from a build with another prefix
# would hold a unit that starts a program the package does not have.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "The Debian package installs into /usr, but this build is configured with the install "
                      "prefix ${CPACK_PACKAGING_INSTALL_PREFIX}: configure it with -DCMAKE_INSTALL_PREFIX=/usr "
                      "(or run bash scripts/install-package.sh).")
endif()
