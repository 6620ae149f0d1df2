"""OmbrixDB quickstart: import the module and see the logger at work."""

import ombrixdb_vell as ombrix

print(ombrix.__doc__)
log = ombrix.Logger.instance()
log.configure("info")
log.info("OmbrixDB is ready")
log.warning("this is how a warning looks")
