# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Run by cpack after it has built the packages (CPACK_POST_BUILD_SCRIPTS):
# finishes what CPack leaves short of Debian's rules, and builds each package
# again from what it held.
# - CPack gives a package with a library in /usr/lib a postinst and a postrm
#   that call ldconfig; the library packages activate Debian's ldconfig
#   trigger instead (cmake/debian/triggers), so those scripts are dropped.
#   Other packages are left as they are.
# - A -dbgsym package's md5sums names its files by their path in CPack's
#   staging folder, and it has no documentation folder: the md5sums are
#   made again, the .debug files are not executable, and its documentation
#   folder is a link to that of the package it has the symbols of, as
#   Debian's own -dbgsym packages have it.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    set(dir ${package}.contents)
    file(REMOVE_RECURSE ${dir})
    execute_process(COMMAND dpkg-deb --raw-extract ${package} ${dir} COMMAND_ERROR_IS_FATAL ANY)
    if(package MATCHES "\\.ddeb$")
        file(STRINGS ${dir}/DEBIAN/control name REGEX "^Package: ")
        string(REGEX REPLACE "^Package: (.*)-dbgsym$" "\\1" binary "${name}")
        file(MAKE_DIRECTORY ${dir}/usr/share/doc)
        file(CREATE_LINK ${binary} ${dir}/usr/share/doc/${binary}-dbgsym SYMBOLIC)
        file(GLOB_RECURSE debug_files RELATIVE ${dir} ${dir}/usr/lib/debug/*)
        set(md5sums "")
        foreach(file IN LISTS debug_files)
            file(CHMOD ${dir}/${file} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
            file(MD5 ${dir}/${file} sum)
            string(APPEND md5sums "${sum}  ${file}\n")
        endforeach()
        file(WRITE ${dir}/DEBIAN/md5sums "${md5sums}")
    elseif(EXISTS ${dir}/DEBIAN/postinst OR EXISTS ${dir}/DEBIAN/postrm)
        foreach(script postinst postrm)
            if(EXISTS ${dir}/DEBIAN/${script})
                file(READ ${dir}/DEBIAN/${script} text)
                if(text MATCHES "ldconfig")
                    file(REMOVE ${dir}/DEBIAN/${script})
                endif()
            endif()
        endforeach()
    else()
        file(REMOVE_RECURSE ${dir})
        continue()
    endif()
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${dir} ${package}
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${dir})
endforeach()
