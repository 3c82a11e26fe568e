// Checks a release file's bill of materials: valid CycloneDX 1.6 by the
// CycloneDX project's own validator, its hashes those of the file and of the
// executable inside, and its libraries exactly the source packages given.
// With LSMAC_PROVENANCE, the statement there whose subject is ARTIFACT names
// the same commit, and the same source packages, at the same versions, and
// every package of LSMAC_BUILT_WITH ('g++-12 12.2.0-14, libc6-dev 2.36-9').
//
//   node sbom.js SBOM ARTIFACT [EXECUTABLE 'glibc (= 2.36-9), gcc-12 (= 12.2.0-14)']
const crypto = require('crypto');
const fs = require('fs');
const { Spec, Validation } = require('@cyclonedx/cyclonedx-library');

const [sbomPath, artifact, executable, builtUsing] = process.argv.slice(2);
const problems = [];
const digests = (file) => ['sha256', 'sha512'].map((alg) => crypto.createHash(alg).update(fs.readFileSync(file)).digest('hex'));
const hashesOf = (component) => ['SHA-256', 'SHA-512'].map((alg) => (component.hashes || []).find((h) => h.alg === alg)?.content);
const same = (name, found, expected) => {
  if (JSON.stringify(found) !== JSON.stringify(expected)) problems.push(`${name}: ${JSON.stringify(found)}, expected ${JSON.stringify(expected)}`);
};

(async () => {
  const text = fs.readFileSync(sbomPath, 'utf8');
  const invalid = await new Validation.JsonStrictValidator(Spec.Version.v1dot6).validate(text);
  if (invalid) problems.push(`not valid CycloneDX 1.6: ${JSON.stringify(invalid).slice(0, 400)}`);
  const bom = JSON.parse(text);
  same('the file\'s hashes', hashesOf(bom.metadata.component), digests(artifact));
  const components = bom.components || [];
  if (executable) {
    const program = components.filter((c) => c.type === 'file');
    same('the executable\'s hashes', program.map(hashesOf), [digests(executable)]);
    const libraries = components.filter((c) => c.type === 'library').map((c) => `${c.name} (= ${c.version})`);
    same('the libraries', libraries.sort(), builtUsing.split(',').map((entry) => entry.trim()).sort());
    same('the operating system', components.filter((c) => c.type === 'operating-system').map((c) => `${c.name} ${c.version}`), ['debian 12']);
  }
  if (process.env.LSMAC_PROVENANCE) {
    const name = artifact.split('/').pop();
    const statements = fs.readFileSync(process.env.LSMAC_PROVENANCE, 'utf8').split('\n').filter((line) => line)
      .map((line) => JSON.parse(Buffer.from(JSON.parse(line).payload, 'base64').toString('utf8')))
      .filter((statement) => statement.subject.some((subject) => subject.name === name));
    same('the statements naming it', statements.length, 1);
    const dependencies = statements[0]?.predicate.buildDefinition.resolvedDependencies || [];
    same('the provenance\'s commit', dependencies.filter((d) => d.digest?.gitCommit).map((d) => d.digest.gitCommit),
      bom.metadata.properties.filter((p) => p.name === 'lsmac:commit').map((p) => p.value));
    same('the provenance\'s source packages', dependencies.map((d) => d.uri).filter((uri) => uri?.includes('?arch=source&')).sort(),
      components.filter((c) => c.type === 'library').map((c) => c.purl).sort());
    const toolchain = (process.env.LSMAC_BUILT_WITH || '').split(',').filter((entry) => entry.trim())
      .map((entry) => entry.trim().split(' ')).map(([name, version]) => `pkg:deb/debian/${name}@${version.replace(/\+/g, '%2B')}?`);
    same('the toolchain NOTICES names, in the provenance', toolchain.filter((purl) => !dependencies.some((d) => d.uri?.startsWith(purl))), []);
  }
  if (problems.length) {
    console.log(problems.join('\n'));
    process.exit(1);
  }
})();
