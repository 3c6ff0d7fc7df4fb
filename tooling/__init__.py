"""The Python behind the commands in scripts/ and the tests: the zip's packer,
the release check and the Wine prefix."""
