# The Debian package of the installation: `cpack -G DEB` in the build folder makes
# zqrestore_<version>_amd64.deb, which installs under /usr with the settings in /etc/zqrestore
# (a configuration file that dpkg keeps on upgrade), the man page and the documentation.
#
# Run-time dependencies: the OpenSSH client for the SSH guest channels, and the system libraries
# the programs link. A back-end that needs a further Debian package declares it with
#   set_property(GLOBAL APPEND PROPERTY ZQ_DEB_DEPENDS "libvirt0")
# in its own CMakeLists.txt; libvirt's library is also added when CMake found it for a KVM back-end.
# cpack packs what "cmake --build" made; it does not build the whole tree (tests included) itself.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# Every document the README names, and the copyright file.
install(FILES README.md docs/zqrestore.md docs/job-file.md docs/ssh.md docs/inventory.md docs/app-config.md
              docs/restore-options.md docs/restore-guarantees.md docs/kvm.md docs/performance.md
              docs/windows-guests.md docs/fleet.md docs/sources.md docs/zqrestore.ini.example docs/copyright
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zqrestore)
install(DIRECTORY docs/design/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zqrestore/design)
install(DIRECTORY docs/examples/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zqrestore/examples
        PATTERN demo-tree EXCLUDE)

get_property(ZQ_DEB_DEPENDS GLOBAL PROPERTY ZQ_DEB_DEPENDS)
# The component libVMInfo.so links libvirt.
list(APPEND ZQ_DEB_DEPENDS "libvirt0")
# zqrestore reads archives with libarchive (gzip checked again with zlib) and disk images with
# libguestfs, after qemu-img has checked them and qemu-nbd serves them; the SHA-256 of a staged file
# comes from libcrypto.
list(APPEND ZQ_DEB_DEPENDS "libarchive13" "zlib1g" "libguestfs0" "qemu-utils" "libssl3")
list(PREPEND ZQ_DEB_DEPENDS "openssh-client" "libc6 (>= 2.36)" "libstdc++6 (>= 12)" "libgcc-s1")
list(REMOVE_DUPLICATES ZQ_DEB_DEPENDS)
list(JOIN ZQ_DEB_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zqrestore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zqrestore maintainers <maintainers@users.noreply.c-seed-894682ee.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "restore backed-up files into running virtual machines without a guest agent")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "zqrestore drives the agentless restore-to-VM plug-in: it restores a backed-up\n"
       "tree into a running VM through the hypervisor's guest operations or over SSH,\n"
       "with nothing installed in the guest.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)

# Files below /etc are the administrator's: dpkg keeps their changes on upgrade.
set(ZQ_DEB_CONTROL_DIR ${CMAKE_BINARY_DIR}/debian-control)
file(WRITE ${ZQ_DEB_CONTROL_DIR}/conffiles "/etc/zqrestore/zqrestore.ini\n/etc/logrotate.d/zqrestore\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${ZQ_DEB_CONTROL_DIR}/conffiles)
# The staged tree is laid out for /usr; the settings move to /etc, where the tools look for them.
set(ZQ_SETTINGS_EXAMPLE ${PROJECT_SOURCE_DIR}/docs/zqrestore.ini.example)
set(ZQ_LOGROTATE ${PROJECT_SOURCE_DIR}/docs/zqrestore.logrotate)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian-changelog.in ${CMAKE_BINARY_DIR}/debian-changelog @ONLY)
set(ZQ_DEB_CHANGELOG ${CMAKE_BINARY_DIR}/debian-changelog)
configure_file(${CMAKE_CURRENT_LIST_DIR}/DebStaging.cmake.in ${CMAKE_BINARY_DIR}/DebStaging.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/DebStaging.cmake)

include(CPack)
# The Ansible collection, for ANSIBLE_COLLECTIONS_PATH (docs/fleet.md).
install(DIRECTORY ansible/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/zqrestore/ansible)
