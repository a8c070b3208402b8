# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Read by cpack before it builds the packages. CPack would put the
# package-wide summary in front of each component's description, where each
# has a summary of its own.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
