#include "app/demo.h"

#include <vector>

#include "app/banner.h"
#include "app/console.h"
#include "chain/accounts.h"
#include "chain/block.h"
#include "chain/consensus.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "chain/tokenomics.h"
#include "chain/wallet.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kValidatorGrant = 500'000 * kAtomicPerCoin;
constexpr uint64_t kHeliosGrant = 50'000 * kAtomicPerCoin;
constexpr uint64_t kValidatorStake = 200'000 * kAtomicPerCoin;
constexpr uint64_t kHeliosPayment = 1'250 * kAtomicPerCoin;
constexpr uint64_t kDemoFee = 10'000;  // 0.01 RUZ on every transaction
constexpr uint64_t kProposerSlot = 1;
constexpr uint64_t kBlockTxLimit = 100;

std::string fmt(uint64_t amount) { return Tokenomics::format_amount(amount); }

// The phases show their figures from a scratch copy of the state, where each
// transaction is applied as it is submitted; the committed state changes only
// through the blocks, so their rewards and fee shares really land.
void submit(const Transaction& tx, Mempool& mempool, State& scratch, std::ostream& err) {
  std::string error;
  if (!mempool.add_transaction(tx, scratch, error)) {
    err << "ERRORE: transazione rifiutata: " << error << "\n";
    return;
  }
  if (!scratch.apply_transaction(tx)) err << "ERRORE: transazione non applicata\n";
}

// The demonstration goes on after a failed write, but says so.
void report_write(bool written, const std::string& what, std::ostream& err) {
  if (!written) err << "ERRORE: impossibile scrivere " << what << "\n";
}

}  // namespace

void run_demo(std::ostream& out, std::ostream& err, const std::string& data_dir) {
  print_banner(out);
  out << ">>> AVVIO SIMULAZIONE AUTONOMA COMPLETA DELLA BLOCKCHAIN ROZEVE <<<\n\n";
  Storage storage(data_dir);
  storage.reset_all_data();

  out << "[FASE 1] Creazione Portafogli Crittografici (Chiavi a 256 bit)...\n";
  const Wallet treasury = Wallet::generate();
  const Wallet validator = Wallet::generate();
  const Wallet helios = Wallet::generate();
  out << "  - Genesis Treasury: " << treasury.address() << "\n"
      << "  - Validatore Nodo 1: " << validator.address() << "\n"
      << "  - Utente Helios:    " << helios.address() << "\n\n";

  out << "[FASE 2] Generazione del Blocco Genesis Ufficiale (21.000.000 RUZ)...\n";
  const Block genesis = Block::create_genesis_block(treasury.address());
  out << "  - Genesis Hash:       " << genesis.block_hash << "\n"
      << "  - Genesis Merkle Root:" << genesis.merkle_root << "\n"
      << "  - Transazioni:        " << genesis.transactions.size() << "\n"
      << "  - Quota Emessa:       " << fmt(genesis.transactions.front().amount) << "\n\n";
  State state;
  if (!state.apply_block(genesis, 0)) {
    err << "ERRORE nell'applicazione del blocco Genesis!\n";
    return;
  }
  report_write(storage.save_block(genesis), storage.blocks_path(), err);
  report_write(storage.save_state(state), storage.state_path(), err);
  out << "  -> Saldo Treasury dopo Genesis: " << fmt(state.get_balance(treasury.address()))
      << "\n\n";

  out << "[FASE 3] Distribuzione Fondi Iniziali da Treasury...\n";
  Mempool mempool;
  State scratch = state;
  submit(treasury.create_transfer(validator.address(), kValidatorGrant, kDemoFee,
                                  scratch.get_nonce(treasury.address())),
         mempool, scratch, err);
  submit(treasury.create_transfer(helios.address(), kHeliosGrant, kDemoFee,
                                  scratch.get_nonce(treasury.address())),
         mempool, scratch, err);
  out << "  - Inviati " << fmt(kValidatorGrant) << " al Validatore 1\n"
      << "  - Inviati " << fmt(kHeliosGrant) << " all'Utente Helios\n\n";

  out << "[FASE 4] Deposito Staking per Registrazione Validatore PoS...\n";
  submit(validator.create_stake(kValidatorStake, kDemoFee, scratch.get_nonce(validator.address())),
         mempool, scratch, err);
  out << "  - Validatore 1 ha depositato: " << fmt(kValidatorStake) << " in Staking\n"
      << "  - Totale Staking Attivo della Rete: " << fmt(scratch.get_total_staked()) << "\n"
      << "  - Validatori Attivi: " << scratch.get_active_validators().size() << "\n\n";

  out << "[FASE 5] Conio Blocco #1 (Consenso Proof of Stake)...\n";
  const ProofOfStakeEngine engine;
  const bool eligible =
      engine.is_proposer_eligible(validator.address(), scratch, genesis.block_hash, kProposerSlot);
  out << "  - Idoneita' Validatore Slot #" << kProposerSlot << ": "
      << (eligible ? "CONFERMATA (Vincitore dello Slot PoS)" : "RESPINTA") << "\n";
  std::vector<Transaction> txs = mempool.get_best_transactions(kBlockTxLimit);
  Block block1(1, genesis.block_hash, validator.address(), txs, 0);
  block1.seal(validator.private_key());
  out << "  - Blocco #1 Sigillato!\n"
      << "    * Hash:        " << block1.block_hash << "\n"
      << "    * Merkle Root: " << block1.merkle_root << "\n"
      << "    * Transazioni: " << block1.transactions.size() << "\n"
      << "    * Validatore:  " << block1.validator << "\n";
  uint64_t reward = Tokenomics::get_block_reward(1);
  if (!state.apply_block(block1, reward)) err << "ERRORE nell'applicazione del blocco #1!\n";
  mempool.remove_transactions(txs);
  report_write(storage.save_block(block1), storage.blocks_path(), err);
  out << "    * Ricompensa PoS accreditata: " << fmt(reward) << "\n\n";

  out << "[FASE 6] Esecuzione Transazione Utente e Blocco #2...\n";
  scratch = state;
  submit(helios.create_transfer(treasury.address(), kHeliosPayment, kDemoFee,
                                scratch.get_nonce(helios.address())),
         mempool, scratch, err);
  txs = mempool.get_best_transactions(kBlockTxLimit);
  Block block2(2, block1.block_hash, validator.address(), txs, 0);
  block2.seal(validator.private_key());
  reward = Tokenomics::get_block_reward(2);
  if (!state.apply_block(block2, reward)) err << "ERRORE nell'applicazione del blocco #2!\n";
  mempool.remove_transactions(txs);
  report_write(storage.save_block(block2), storage.blocks_path(), err);
  report_write(storage.save_state(state), storage.state_path(), err);
  out << "  - Blocco #2 confermato con Hash: " << block2.block_hash << "\n"
      << "  - Trasferimento di " << fmt(kHeliosPayment) << " eseguito con successo!\n\n";

  out << kRule << "\n"
      << "                    STATO FINALE DEL LEDGER ROZEVE                   \n"
      << kRule << "\n"
      << "  Altezza Catena (Blocks): 2 blocchi (+ Genesis)\n"
      << "  Offerta Totale Attiva:   " << fmt(state.get_total_circulating()) << "\n"
      << "  Totale in Staking PoS:   " << fmt(state.get_total_staked()) << "\n\n"
      << "  Saldi dei Partecipanti:\n"
      << "  - Treasury:   " << fmt(state.get_balance(treasury.address())) << "\n"
      << "  - Validatore: " << fmt(state.get_balance(validator.address())) << " (Disponibile) + "
      << fmt(state.get_stake(validator.address())) << " (In Stake)\n"
      << "  - Helios:     " << fmt(state.get_balance(helios.address())) << "\n"
      << kRule << "\n"
      << ">>> TEST COMPLETATO: LA BLOCKCHAIN ROZEVE FUNZIONA PERFETTAMENTE! <<<\n\n";
}

}  // namespace ZezozuRiziv
