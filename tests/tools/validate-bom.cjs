// Validates a CycloneDX 1.6 JSON bill of materials with the CycloneDX project's own
// library (its JSON schema, strict: no property the schema does not know).
// Usage: node validate-bom.cjs NODE_TOOLS_DIR BOM.json
'use strict';
const path = require('node:path');
const fs = require('node:fs');
const [tools, bom] = process.argv.slice(2);
const { Spec, Validation } = require(path.join(tools, 'node_modules', '@cyclonedx', 'cyclonedx-library'));
const validator = new Validation.JsonStrictValidator(Spec.Version.v1dot6);
validator.validate(fs.readFileSync(bom, 'utf8')).then(
  (errors) => {
    if (errors === null) {
      console.log(`validate-bom: ${bom} is valid CycloneDX 1.6`);
    } else {
      console.error(`validate-bom: ${bom} is not valid CycloneDX 1.6:\n` + JSON.stringify(errors, null, 2));
      process.exit(1);
    }
  },
  (error) => {
    console.error(`validate-bom: cannot validate ${bom}: ${error}`);
    process.exit(1);
  });
