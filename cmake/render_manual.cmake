# cmake -DSOURCE=page -DOUTPUT=file -DCONFIG=path -DDOCDIR=dir -P render_manual.cmake
# Writes the manual page with the default install's paths replaced by those
# of this build.
file(READ "${SOURCE}" page)
string(REPLACE "/usr/local/etc/tarnwell.config" "${CONFIG}" page "${page}")
string(REPLACE "/usr/local/share/doc/tarnwell" "${DOCDIR}" page "${page}")
file(WRITE "${OUTPUT}" "${page}")
