# Run by CPack after it wrote the .deb (CPACK_POST_BUILD_SCRIPTS). CPack asks for ldconfig with a
# postinst and a postrm script in a package holding shared libraries; a postrm keeps a removed
# package in dpkg's database ("rc": its scripts stay for a purge). Debian's own library packages
# ask with a trigger instead, so the package is repacked with "activate-noawait ldconfig" in place
# of the two scripts, and dpkg -r leaves nothing behind.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/repack)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
