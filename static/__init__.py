"""The page's static assets.  A package only so that the development wheel
carries them beside zetadesk_server, where the compiled wheel puts them too."""
