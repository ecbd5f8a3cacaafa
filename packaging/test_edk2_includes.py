"""The include files read back: each FILE statement names a module folder's
file GUID, image and name, and its dependency expression, put through the
one encoder, gives that folder's .depex byte for byte; the DSC and INF
listings name the same modules in the same order. Run on modules made here
and, with EDK2_MODULES_DIR set, on the default build's."""

import importlib.machinery
import importlib.util
import os
import re
import tempfile
import unittest
from unittest import mock

from pi.layout import LayoutError, write_whole
from pi.sections import dependency_expression
from test_pi import OTHER_GUID, PROTOCOL_GUID, pe_image

HERE = os.path.dirname(os.path.abspath(__file__))


def load(name, file_name):
    loader = importlib.machinery.SourceFileLoader(name, os.path.join(HERE, file_name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(name, loader))
    loader.exec_module(module)
    return module


make_module = load("make_edk2_module", "make-edk2-module")
make_includes = load("make_edk2_includes", "make-edk2-includes")

FILE_STATEMENT = re.compile(r'FILE DRIVER = ([0-9A-F-]{36}) \{\n  SECTION DXE_DEPEX_EXP = \{([^}]*)\}\n'
                            r'  SECTION PE32 = (\S+)\n  SECTION UI = "([^"]*)"\n\}\n')
INF_VALUE = re.compile(r"^\s*(\w+)\s*=\s*(\S+)", re.MULTILINE)


def text(folder, name):
    with open(os.path.join(folder, name)) as handle:
        return handle.read()


def listing(folder, name):
    """The modules a DSC include lists, and the INF include's statements."""
    components = [line.strip() for line in text(folder, name + ".dsc.inc").split("\n")
                  if line.strip() and not line.startswith("#")]
    infs = re.findall(r"^INF  RuleOverride = (\w+) (\S+)$", text(folder, name + "Inf.fdf.inc"), re.MULTILINE)
    return components, infs


def check_includes(test, folder, name):
    """Reads the three include files in `folder` back against the module
    folders they name; returns the modules' names in the order listed."""
    fdf = text(folder, name + ".fdf.inc")
    statements = FILE_STATEMENT.findall(fdf)
    test.assertEqual(len(statements), fdf.count("\nFILE "), "a FILE statement of another shape")
    by_name = {c_name: guid for guid, c_name in make_includes.PROTOCOL_NAMES.items()}
    names = []
    for guid, expression, image, ui in statements:
        module = os.path.dirname(image)
        test.assertEqual(image, "%s/%s.efi" % (module, module))
        test.assertEqual(ui, module)
        inf = dict(INF_VALUE.findall(text(folder, "%s/%s.inf" % (module, module))))
        test.assertEqual((inf["FILE_GUID"], inf["BASE_NAME"]), (guid, module))
        words = expression.split()
        guids = [] if words == ["TRUE"] else [by_name[word] for word in words[::2]]
        test.assertTrue(all(word == "AND" for word in words[1::2]), expression)
        with open(os.path.join(folder, module, module + ".depex"), "rb") as handle:
            test.assertEqual(dependency_expression(guids), handle.read(), module)
        names.append(module)
    components, infs = listing(folder, name)
    test.assertEqual(components, ["%s/%s.inf" % (module, module) for module in names])
    test.assertEqual(infs, [(name, inf) for inf in components])
    test.assertIn("\n[Rule.Common.DXE_DRIVER.%s]\n" % name, text(folder, name + "Inf.fdf.inc"))
    return names


class IncludesTest(unittest.TestCase):
    def modules(self, root, *specs):
        """Module folders in `root` made by make-edk2-module: (name, guid, depends on)."""
        folders = []
        for name, guid, depends_on in specs:
            folder = os.path.join(root, name)
            os.makedirs(folder)
            for file_name, data in make_module.build(guid, name, pe_image(), depends_on).items():
                write_whole(os.path.join(folder, file_name), data)
            folders.append(folder)
        return folders

    def test_round_trip_through_the_one_encoder_in_the_order_given(self):
        specs = [("Service", "7C916904-83D7-41C4-8A5E-85CDE4D8324A", [PROTOCOL_GUID]),
                 ("Driver", "26afe604-97c0-44ff-9901-c2f2be305137", []),
                 ("Both", "14117739-3586-45B8-A77E-3A7CE7D322AD", [PROTOCOL_GUID, OTHER_GUID])]
        with tempfile.TemporaryDirectory() as root, \
                mock.patch.dict(make_includes.PROTOCOL_NAMES, {OTHER_GUID: "gOtherProtocolGuid"}):
            files = make_includes.build("Feature", self.modules(root, *specs), root)
            for file_name, data in files.items():
                write_whole(os.path.join(root, file_name), data.encode())
            self.assertEqual(check_includes(self, root, "Feature"), ["Service", "Driver", "Both"])
            self.assertIn("{gEfiSmbiosProtocolGuid AND gOtherProtocolGuid}", files["Feature.fdf.inc"])

    def test_refuses_what_it_cannot_list(self):
        with tempfile.TemporaryDirectory() as root:
            unnamed, odd = self.modules(root, ("Unnamed", PROTOCOL_GUID, [OTHER_GUID]), ("Odd", PROTOCOL_GUID, []))
            [outside] = self.modules(os.path.join(root, "Nested"), ("Outside", PROTOCOL_GUID, []))
            with open(os.path.join(odd, "Odd.depex"), "wb") as handle:
                handle.write(bytes([0x06, 0x06, 0x08]))   # TRUE TRUE END: not a form we write
            for folder, reason in ((unnamed, "no C name"), (odd, "neither TRUE"), (outside, "not a folder of"),
                                   (os.path.join(root, "Missing"), "No such file")):
                with self.subTest(reason), self.assertRaisesRegex((LayoutError, OSError), reason):
                    make_includes.build("Feature", [folder], root)

    @unittest.skipUnless(os.environ.get("EDK2_MODULES_DIR"), "EDK2_MODULES_DIR names the default build's folder")
    def test_the_default_build_lists_service_driver_trigger(self):
        names = check_includes(self, os.environ["EDK2_MODULES_DIR"], "SmbiosBoardName")
        self.assertEqual(names, ["SmbiosByHandleService", "SmbiosBoardName", "SmbiosBoardNameTrigger"])


if __name__ == "__main__":
    unittest.main()
