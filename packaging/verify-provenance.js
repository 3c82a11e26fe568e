// Checks files of an lsmac release against its provenance, offline: every
// envelope of PROVENANCE signed by the key of PEM, as Sigstore's own
// verifier (@sigstore/verify 3.1) checks a DSSE bundle, and each FILE the
// subject of one, with its SHA-256. Prints what made each file; exits 1 on
// the first thing that does not hold.
//
//   NODE_PATH=... node verify-provenance.js PEM PROVENANCE FILE...
const crypto = require('crypto');
const fs = require('fs');
const { bundleFromJSON } = require('@sigstore/bundle');
const { Verifier, toSignedEntity, toTrustMaterial } = require('@sigstore/verify');

const [pem, provenance, ...files] = process.argv.slice(2);
const fail = (message) => {
  console.error(`verify-provenance: ${message}`);
  process.exit(1);
};
if (!provenance || files.length === 0) fail('usage: node verify-provenance.js PEM PROVENANCE FILE...');

const spki = crypto.createPublicKey(fs.readFileSync(pem)).export({ type: 'spki', format: 'der' });
const hint = crypto.createHash('sha256').update(spki).digest('hex');
// No transparency log, certificate authority or timestamp: the key alone.
const trust = toTrustMaterial({ tlogs: [], ctlogs: [], certificateAuthorities: [], timestampAuthorities: [] },
  { [hint]: { rawBytes: spki } });
const verifier = new Verifier(trust, { tlogThreshold: 0, ctlogThreshold: 0, timestampThreshold: 0 });

const statements = fs.readFileSync(provenance, 'utf8').split('\n').filter((line) => line).map((line, index) => {
  const where = `${provenance}, envelope ${index + 1}`;
  let envelope;
  try {
    envelope = JSON.parse(line);
    const bundle = bundleFromJSON({
      mediaType: 'application/vnd.dev.sigstore.bundle.v0.3+json',
      verificationMaterial: { publicKey: { hint }, tlogEntries: [], timestampVerificationData: { rfc3161Timestamps: [] } },
      dsseEnvelope: envelope,
    });
    verifier.verify(toSignedEntity(bundle));
  } catch (error) {
    fail(`${where}: ${error.message}`);
  }
  if (envelope.payloadType !== 'application/vnd.in-toto+json') fail(`${where}: payload type ${envelope.payloadType}`);
  const statement = JSON.parse(Buffer.from(envelope.payload, 'base64').toString('utf8'));
  if (statement._type !== 'https://in-toto.io/Statement/v1' || statement.predicateType !== 'https://slsa.dev/provenance/v1') {
    fail(`${where}: not an in-toto Statement v1 of SLSA v1 provenance`);
  }
  return statement;
});

for (const file of files) {
  const digest = crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
  const named = statements.flatMap((statement) => statement.subject.map((subject) => ({ statement, subject })))
    .filter(({ subject }) => file === subject.name || file.endsWith(`/${subject.name}`));
  const made = named.find(({ subject }) => subject.digest.sha256 === digest);
  if (!made) {
    fail(named.length ? `${file}: its SHA-256 is ${digest}, not the provenance's ${named[0].subject.digest.sha256}`
      : `${file}: no subject of the provenance`);
  }
  const { buildDefinition } = made.statement.predicate;
  const commit = buildDefinition.resolvedDependencies.find((dependency) => dependency.digest?.gitCommit);
  const target = buildDefinition.externalParameters.target;
  console.log(`${file}: ${target ? `built for ${target}` : 'made'} from commit ${commit.digest.gitCommit}`);
}
