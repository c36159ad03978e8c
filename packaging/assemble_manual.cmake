# Puts the generated list of settings into the manual page: -DPAGE=in -DSETTINGS=roff -DOUT=out
file(READ "${PAGE}" page)
file(READ "${SETTINGS}" settings)
string(REPLACE ".\\\" (the list of settings is put here at build time)\n" "${settings}" page "${page}")
file(WRITE "${OUT}" "${page}")
