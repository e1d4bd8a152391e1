"""Fixture forge modules, one per member family."""
