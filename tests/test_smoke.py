def test_import():
    import _velmora
