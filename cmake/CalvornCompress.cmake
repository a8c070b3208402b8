# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# calvorn_gzip(<target> <input> <output>)
# Compresses <input> into <output> as part of the build (target <target>), as
# Debian compresses manual pages and documents: gzip -9n, with no name or
# time stamp, so that the same input always gives the same bytes.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
function(calvorn_gzip target input output)
    add_custom_command(OUTPUT ${output}
        COMMAND sh -c "\"$0\" -9n -c \"$1\" > \"$2\"" ${GZIP_EXECUTABLE} ${input} ${output}
        DEPENDS ${input}
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${output})
endfunction()
