"""Route groups of the ZetaDesk server."""
