# Run by cpack once it has made the packages (CPACK_POST_BUILD_SCRIPTS). The program lives in
# /opt/sorvik, and CPack lists every folder above a file in the package, /opt too; dpkg then tries
# to remove /opt with the package ("directory '/opt' not empty so not removed"). /opt is the
# system's, made by base-files: its entry is taken out of the sorvik package's files, and every
# other entry is copied as it was (/opt/sorvik included), compressed without a time stamp.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "/sorvik_[^/]*\\.deb$")
        continue()
    endif()
    execute_process(
        COMMAND sh -ec [[
            work=$(mktemp -d)
            trap 'rm -rf "$work"' EXIT
            cd "$work"
            ar x "$1"
            python3 - <<'PYTHON'
import gzip, tarfile
with tarfile.open("data.tar.gz") as old, \
        open("data.new", "wb") as file, \
        gzip.GzipFile(filename="", fileobj=file, mode="wb", compresslevel=9, mtime=0) as packed, \
        tarfile.open(fileobj=packed, mode="w", format=old.format) as new:
    for entry in old:
        if entry.name.strip("./") != "opt":
            new.addfile(entry, old.extractfile(entry) if entry.isfile() else None)
PYTHON
            mv data.new data.tar.gz
            # The members in the order dpkg requires.
            ar rcD package.deb debian-binary control.tar.gz data.tar.gz
            mv package.deb "$1"
        ]] sh ${package}
        RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "cannot take /opt out of ${package}")
    endif()
endforeach()
